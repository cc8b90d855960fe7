// File system operations over POSIX calls, where names are bytes and folders can be held open.
#include "filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace FileSystem {

namespace {

// Opening never waits for a fifo's writer and never makes a terminal ours.
constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t NewFileMode = 0666; // narrowed by the umask
constexpr mode_t PermissionBits = 07777;
constexpr mode_t WriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr int TemporaryNameAttempts = 100;

// One component: a name with a "/" in it would let the call walk (and follow links) on its own.
bool isSingleName(const QByteArray &name)
{
    return !name.isEmpty() && !name.contains('\0') && !name.contains('/');
}

EntryInfo infoOf(const struct stat &entry)
{
    EntryInfo info;
    if (S_ISDIR(entry.st_mode))
        info.kind = Kind::Folder;
    else if (S_ISREG(entry.st_mode))
        info.kind = Kind::Regular;
    else if (S_ISLNK(entry.st_mode))
        info.kind = Kind::Link;
    else
        info.kind = Kind::Special;
    info.size = entry.st_size;
    info.device = entry.st_dev;
    info.inode = entry.st_ino;
    return info;
}

EntryInfo statAt(int folder, const char *name)
{
    struct stat entry
    {
    };
    if (::fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return infoOf(entry);
}

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

Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool isHiddenName(const QByteArray &name)
{
    return name.startsWith('.');
}

SharedDescriptor openFolder(const QByteArray &path)
{
    if (path.isEmpty() || path.contains('\0'))
        return nullptr;
    const int fd = ::open(path.constData(), FolderFlags);
    return fd < 0 ? nullptr : std::make_shared<const Descriptor>(fd);
}

EntryInfo infoOf(const Descriptor &object)
{
    struct stat entry
    {
    };
    if (::fstat(object.fd(), &entry) != 0)
        return {};
    return infoOf(entry);
}

EntryInfo entryAt(const Descriptor &folder, const QByteArray &name)
{
    if (!isSingleName(name))
        return {};
    return statAt(folder.fd(), name.constData());
}

std::optional<OpenedEntry> openAt(const Descriptor &folder, const QByteArray &name)
{
    // Looked at first, so a fifo or device is never even opened.
    const EntryInfo seen = entryAt(folder, name);
    if (seen.kind != Kind::Folder && seen.kind != Kind::Regular)
        return std::nullopt;
    const int flags = O_NOFOLLOW | (seen.kind == Kind::Folder ? FolderFlags : ReadFlags);
    const int fd = ::openat(folder.fd(), name.constData(), flags);
    if (fd < 0)
        return std::nullopt;
    auto descriptor = std::make_shared<const Descriptor>(fd);
    // The name may have been swapped meanwhile: what counts is the object now open.
    const EntryInfo opened = infoOf(*descriptor);
    if (opened.kind != Kind::Folder && opened.kind != Kind::Regular)
        return std::nullopt;
    return OpenedEntry {std::move(descriptor), opened};
}

std::optional<OpenedEntry> openParent(const Descriptor &folder)
{
    const int fd = ::openat(folder.fd(), "..", FolderFlags);
    if (fd < 0)
        return std::nullopt;
    auto descriptor = std::make_shared<const Descriptor>(fd);
    const EntryInfo info = infoOf(*descriptor);
    return OpenedEntry {std::move(descriptor), info};
}

std::optional<QByteArray> linkTargetAt(const Descriptor &folder, const QByteArray &name)
{
    if (!isSingleName(name))
        return std::nullopt;
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    for (;;) {
        const ssize_t length
            = ::readlinkat(folder.fd(), name.constData(), target.data(), size_t(target.size()));
        if (length < 0)
            return std::nullopt;
        if (length < target.size()) {
            target.truncate(length);
            return target;
        }
        target.resize(target.size() * 2);
    }
}

QList<NamedEntry> entriesOf(const Descriptor &folder)
{
    QList<NamedEntry> entries;
    // A descriptor of its own, so the reading position is not shared with `folder`.
    const int fd = ::openat(folder.fd(), ".", FolderFlags);
    if (fd < 0)
        return entries;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return entries;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0)
            continue;
        // The entry's type comes with its name on most file systems; only a
        // regular file's size needs a look of its own.
        EntryInfo info;
        if (entry->d_type == DT_DIR || entry->d_type == DT_LNK) {
            info.kind = entry->d_type == DT_DIR ? Kind::Folder : Kind::Link;
            info.inode = entry->d_ino;
        } else {
            info = statAt(fd, name);
        }
        if (info.kind != Kind::Missing)
            entries.append({QByteArray(name), info});
    }
    ::closedir(dir);
    return entries;
}

QByteArray canonicalPath(const QByteArray &path)
{
    if (path.contains('\0'))
        return {};
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return {};
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

std::optional<QByteArray> readSmallRegularFile(const QByteArray &path, qint64 maxBytes)
{
    if (path.contains('\0'))
        return std::nullopt;
    const int fd = ::open(path.constData(), ReadFlags);
    if (fd < 0)
        return std::nullopt;
    const Descriptor owner(fd);
    struct stat entry
    {
    };
    if (::fstat(fd, &entry) != 0 || !S_ISREG(entry.st_mode) || entry.st_size > maxBytes)
        return std::nullopt;
    // One byte more than allowed tells a file that grew since the look at its size.
    QByteArray bytes(maxBytes + 1, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        filled += got;
    }
    if (filled > maxBytes)
        return std::nullopt;
    bytes.truncate(filled);
    return bytes;
}

int replaceFileContent(const QByteArray &path, const QByteArray &bytes)
{
    if (path.isEmpty() || path.contains('\0'))
        return EINVAL;
    // A link is written through: the file it leads to is the one its owner keeps. A dangling link
    // resolves to nothing and is replaced like a missing file.
    const QByteArray resolved = canonicalPath(path);
    const QByteArray target = resolved.isEmpty() ? path : resolved;
    // A file made read-only pins its content (root could write it, but should not); one this
    // user may not write is not theirs to replace, although the folder would allow a rename.
    struct stat old
    {
    };
    if (::stat(target.constData(), &old) == 0
        && ((old.st_mode & WriteBits) == 0 || ::access(target.constData(), W_OK) != 0))
        return EACCES;
    bool folderRefused = false;
    const int error = replaceAtomically(target, bytes, &folderRefused);
    // Never after a failure for lack of space: overwriting in place could then lose the old content.
    if (error == 0 || !folderRefused)
        return error;
    const int inPlace = overwriteInPlace(target, bytes);
    return inPlace == ENOENT ? error : inPlace;
}

std::unique_ptr<RawFile> RawFile::fromOpened(OpenedEntry opened)
{
    if (!opened.descriptor || opened.info.kind != Kind::Regular)
        return nullptr;
    return std::unique_ptr<RawFile>(new RawFile(std::move(opened.descriptor), opened.info.size));
}

RawFile::RawFile(SharedDescriptor descriptor, qint64 length)
    : m_descriptor(std::move(descriptor))
    , m_length(length)
{
}

QByteArray RawFile::read(qint64 count)
{
    QByteArray data;
    if (!m_descriptor || count <= 0)
        return data;
    data.resize(count);
    qint64 filled = 0;
    while (filled < count) {
        const ssize_t got
            = ::pread(m_descriptor->fd(), data.data() + filled, size_t(count - filled), m_position + filled);
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
    m_descriptor.reset();
}

} // namespace FileSystem
