// File system operations on byte paths and open folders, so names pass unchanged between disk, page and wire.
#pragma once

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

namespace FileSystem {

enum class Kind {
    Missing, // does not exist, or cannot be examined
    Folder,
    Regular,
    Link, // a symbolic link, reported as such where links are not followed
    Special, // fifo, socket, device: never read
};

struct EntryInfo
{
    Kind kind = Kind::Missing;
    qint64 size = 0;
    // Together they name the object itself, whatever path led to it.
    quint64 device = 0;
    quint64 inode = 0;
};

// An open descriptor, closed when its last owner lets go of it.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor();
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int fd() const { return m_fd; }

private:
    int m_fd;
};
using SharedDescriptor = std::shared_ptr<const Descriptor>;

struct OpenedEntry
{
    SharedDescriptor descriptor;
    EntryInfo info; // of the opened object, never of a path
};

struct NamedEntry
{
    QByteArray name;
    EntryInfo info; // a link is reported as a link
};
} // namespace FileSystem
Q_DECLARE_TYPEINFO(FileSystem::NamedEntry, Q_RELOCATABLE_TYPE);
namespace FileSystem {

// Whether a single name counts as hidden by its spelling alone (a dot-name).
bool isHiddenName(const QByteArray &name);

// The folder at `path`, links on the way followed; null when it cannot be opened.
SharedDescriptor openFolder(const QByteArray &path);

// What the open object is.
EntryInfo infoOf(const Descriptor &object);

// What `name` inside `folder` is; a link is reported as a link, not followed.
EntryInfo entryAt(const Descriptor &folder, const QByteArray &name);

// Opens `name` inside `folder` for reading without following a link there and
// without blocking. Only folders and regular files are opened; everything else
// (a link included) gives nothing.
std::optional<OpenedEntry> openAt(const Descriptor &folder, const QByteArray &name);

// The folder that holds `folder`, as the system sees it now.
std::optional<OpenedEntry> openParent(const Descriptor &folder);

// The text of the link `name` inside `folder`; nothing when it is no link.
std::optional<QByteArray> linkTargetAt(const Descriptor &folder, const QByteArray &name);

// Every entry of the open folder but "." and "..", in the order the file system
// yields them; an entry that vanishes while it is examined is left out.
QList<NamedEntry> entriesOf(const Descriptor &folder);

// The absolute path with every link resolved; empty when it cannot be resolved.
QByteArray canonicalPath(const QByteArray &path);

// The content of a regular file of at most `maxBytes` bytes. Nothing for
// anything else: a missing file, a fifo or device (never opened in a way that
// could block), or a file that is longer.
std::optional<QByteArray> readSmallRegularFile(const QByteArray &path, qint64 maxBytes);

// Replaces the whole content of the file at `path` by `bytes`. Written aside and
// renamed over the old file where the folder allows it; where the folder cannot
// take a new file but the file itself is writable, overwritten in place. Every
// write and the flush to the disk are checked, and a failure for lack of space
// keeps the old file untouched. A link is written through to its file; a file
// without write permission is left alone (EACCES). Gives 0, or the errno of the failure.
int replaceFileContent(const QByteArray &path, const QByteArray &bytes);

// A regular file opened for raw reading.
class RawFile
{
public:
    // Null unless `opened` is a regular file.
    static std::unique_ptr<RawFile> fromOpened(OpenedEntry opened);

    qint64 length() const { return m_length; }
    qint64 position() const { return m_position; }
    // Reads up to `count` bytes; fewer only at the end of the file or on a read error.
    QByteArray read(qint64 count);
    void close();

private:
    RawFile(SharedDescriptor descriptor, qint64 length);

    SharedDescriptor m_descriptor;
    qint64 m_length = 0;
    qint64 m_position = 0;
};

} // namespace FileSystem
