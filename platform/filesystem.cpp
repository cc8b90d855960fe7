// File system operations on byte paths: POSIX calls where names are bytes, Qt elsewhere.
#include "filesystem.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

namespace {

// Opening never waits for a fifo's writer and never makes a terminal ours.
constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t NewFileMode = 0666; // narrowed by the umask
constexpr mode_t PermissionBits = 07777;
constexpr int TemporaryNameAttempts = 100;

int closeChecked(int fd)
{
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

int writeAll(int fd, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : EIO;
        written += done;
    }
    return 0;
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArrayLiteral(".") : slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray temporaryName(const QByteArray &path)
{
    static std::atomic<unsigned> counter {0};
    const qsizetype slash = path.lastIndexOf('/');
    // A dot-name, so the server never offers the half-written file.
    return path.left(slash + 1) + '.' + path.mid(slash + 1) + '.' + QByteArray::number(::getpid()) + '.'
        + QByteArray::number(counter++);
}

bool isPermissionFailure(int error)
{
    return error == EACCES || error == EPERM;
}

// Writes a new file beside `path` and renames it over `path`. `folderRefused` is
// set when the failure was the folder's permissions, not the data.
int replaceAtomically(const QByteArray &path, const QByteArray &bytes, bool *folderRefused)
{
    struct stat old
    {
    };
    const bool hasOld = ::stat(path.constData(), &old) == 0;
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TemporaryNameAttempts; ++attempt) {
        temporary = temporaryName(path);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NewFileMode);
        if (fd < 0 && errno != EEXIST) {
            *folderRefused = isPermissionFailure(errno);
            return errno;
        }
    }
    if (fd < 0)
        return EEXIST;
    if (hasOld)
        ::fchmod(fd,
                 old.st_mode & PermissionBits); // keeps what the owner chose; a refusal is no reason to fail
    int error = writeAll(fd, bytes);
    // The flush is where a full disk shows on most file systems: it must succeed before the rename.
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    const int closed = closeChecked(fd);
    if (error == 0)
        error = closed;
    if (error == 0 && ::rename(temporary.constData(), path.constData()) != 0) {
        error = errno;
        *folderRefused = isPermissionFailure(error);
    }
    if (error != 0) {
        ::unlink(temporary.constData());
        return error;
    }
    // The rename itself reaches the disk with the folder; a failure here loses nothing already written.
    const int folder = ::open(folderOf(path).constData(), FolderFlags);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return 0;
}

// For a folder that takes no new file: the old bytes are overwritten first and
// cut to length afterwards, so a failed write never leaves an empty file.
int overwriteInPlace(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat entry
    {
    };
    int error = ::fstat(fd, &entry) != 0 ? errno : S_ISREG(entry.st_mode) ? 0 : EINVAL;
    if (error == 0)
        error = writeAll(fd, bytes);
    if (error == 0 && ::ftruncate(fd, bytes.size()) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    const int closed = closeChecked(fd);
    return error != 0 ? error : closed;
}

} // namespace

std::optional<QByteArray> readSmallRegularFile(const QByteArray &path, qint64 maxBytes)
{
    if (path.contains('\0'))
        return std::nullopt;
    const int fd = ::open(path.constData(), ReadFlags);
    if (fd < 0)
        return std::nullopt;
    struct stat entry
    {
    };
    if (::fstat(fd, &entry) != 0 || !S_ISREG(entry.st_mode) || entry.st_size > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    // One byte more than allowed tells a file that grew since the look at its size.
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        filled += got;
    }
    ::close(fd);
    if (filled > maxBytes)
        return std::nullopt;
    bytes.truncate(filled);
    return bytes;
}

int replaceFileContent(const QByteArray &path, const QByteArray &bytes)
{
    if (path.isEmpty() || path.contains('\0'))
        return EINVAL;
    bool folderRefused = false;
    const int error = replaceAtomically(path, bytes, &folderRefused);
    // Never after a failure for lack of space: overwriting in place could then lose the old content.
    if (error == 0 || !folderRefused)
        return error;
    const int inPlace = overwriteInPlace(path, bytes);
    return inPlace == ENOENT ? error : inPlace;
}

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
