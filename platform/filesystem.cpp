// File system operations on byte paths: POSIX calls where names are bytes, Qt elsewhere.
#include "filesystem.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#else
#include <QDir>
#include <QFile>
#include <QFileInfo>
#endif

namespace FileSystem {

bool isHiddenName(const QByteArray &name)
{
#ifdef Q_OS_UNIX
    return name.startsWith('.');
#else
    Q_UNUSED(name);
    return false;
#endif
}

#ifdef Q_OS_UNIX

PathInfo info(const QByteArray &path)
{
    PathInfo result;
    struct stat entry
    {
    };
    if (::lstat(path.constData(), &entry) != 0)
        return result;
    result.link = S_ISLNK(entry.st_mode);
    if (result.link && ::stat(path.constData(), &entry) != 0)
        return result;
    if (S_ISDIR(entry.st_mode))
        result.kind = Kind::Folder;
    else if (S_ISREG(entry.st_mode))
        result.kind = Kind::Regular;
    else
        result.kind = Kind::Special;
    result.size = entry.st_size;
    return result;
}

QList<QByteArray> entryNames(const QByteArray &folder)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != ".." && name != ".")
            names.append(name);
    }
    ::closedir(dir);
    return names;
}

QByteArray canonicalPath(const QByteArray &path)
{
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return {};
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

struct RawFile::Handle
{
    int fd = -1;
};

std::unique_ptr<RawFile> RawFile::open(const QByteArray &path)
{
    // O_NONBLOCK: opening a fifo for reading would otherwise wait for a writer.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat entry
    {
    };
    if (::fstat(fd, &entry) != 0 || !S_ISREG(entry.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto handle = std::make_unique<Handle>();
    handle->fd = fd;
    return std::unique_ptr<RawFile>(new RawFile(std::move(handle), entry.st_size));
}

QByteArray RawFile::read(qint64 count)
{
    QByteArray data;
    if (!m_handle || count <= 0)
        return data;
    data.resize(count);
    qint64 filled = 0;
    while (filled < count) {
        const ssize_t got = ::read(m_handle->fd, data.data() + filled, size_t(count - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        filled += got;
    }
    data.resize(filled);
    m_position += filled;
    return data;
}

void RawFile::close()
{
    if (m_handle && m_handle->fd >= 0)
        ::close(m_handle->fd);
    m_handle.reset();
}

#else // not POSIX: Qt's file classes, names in the local 8-bit code page

PathInfo info(const QByteArray &path)
{
    PathInfo result;
    const QFileInfo file(QFile::decodeName(path));
    if (!file.exists())
        return result;
    result.link = file.isSymLink();
    result.hidden = file.isHidden();
    result.kind = file.isDir() ? Kind::Folder : file.isFile() ? Kind::Regular : Kind::Special;
    result.size = file.size();
    return result;
}

QList<QByteArray> entryNames(const QByteArray &folder)
{
    QList<QByteArray> names;
    const QDir dir(QFile::decodeName(folder));
    const auto entries = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                       QDir::Unsorted);
    for (const QString &name : entries)
        names.append(QFile::encodeName(name));
    return names;
}

QByteArray canonicalPath(const QByteArray &path)
{
    return QFile::encodeName(QFileInfo(QFile::decodeName(path)).canonicalFilePath());
}

struct RawFile::Handle
{
    QFile file;
};

std::unique_ptr<RawFile> RawFile::open(const QByteArray &path)
{
    auto handle = std::make_unique<Handle>();
    handle->file.setFileName(QFile::decodeName(path));
    if (!QFileInfo(handle->file).isFile() || !handle->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return nullptr;
    const qint64 length = handle->file.size();
    return std::unique_ptr<RawFile>(new RawFile(std::move(handle), length));
}

QByteArray RawFile::read(qint64 count)
{
    if (!m_handle || count <= 0)
        return {};
    QByteArray data = m_handle->file.read(count);
    m_position += data.size();
    return data;
}

void RawFile::close()
{
    m_handle.reset();
}

#endif

RawFile::RawFile(std::unique_ptr<Handle> handle, qint64 length)
    : m_handle(std::move(handle))
    , m_length(length)
{
}

RawFile::~RawFile()
{
    close();
}

} // namespace FileSystem
