// File system operations on byte paths, so names pass unchanged between disk, page and wire.
#pragma once

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

namespace FileSystem {

#ifdef Q_OS_WIN
inline constexpr char Separator = '\\';
#else
inline constexpr char Separator = '/';
#endif

enum class Kind {
    Missing, // does not exist, or cannot be examined
    Folder,
    Regular,
    Special, // fifo, socket, device: never read by the server
};

struct PathInfo
{
    Kind kind = Kind::Missing;
    bool hidden = false; // the platform's hidden flag (a dot-name on POSIX)
    bool link = false; // the path itself is a symbolic link
    qint64 size = 0;
};

// Follows symbolic links for the kind and size; reports the link itself in `link`.
PathInfo info(const QByteArray &path);

// Whether a single name counts as hidden by its spelling alone.
bool isHiddenName(const QByteArray &name);

// Names in the folder in the order the file system yields them, without "." and "..".
QList<QByteArray> entryNames(const QByteArray &folder);

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
// keeps the old file untouched. Gives 0, or the errno of the failure.
int replaceFileContent(const QByteArray &path, const QByteArray &bytes);

// A regular file opened for raw reading. Opening never blocks, so a path that
// was swapped for a fifo after it was examined is refused instead of hanging.
class RawFile
{
public:
    ~RawFile();
    RawFile(const RawFile &) = delete;
    RawFile &operator=(const RawFile &) = delete;

    // Null when the path is not a regular file that can be opened for reading.
    static std::unique_ptr<RawFile> open(const QByteArray &path);

    qint64 length() const { return m_length; }
    qint64 position() const { return m_position; }
    // Reads up to `count` bytes; fewer only at the end of the file or on a read error.
    QByteArray read(qint64 count);
    void close();

private:
    struct Handle;
    explicit RawFile(std::unique_ptr<Handle> handle, qint64 length);

    std::unique_ptr<Handle> m_handle;
    qint64 m_length = 0;
    qint64 m_position = 0;
};

} // namespace FileSystem
