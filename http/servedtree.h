// What a judged path leads to inside the served tree, decided on the objects actually opened.
#pragma once

#include "filesystem.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>
#include <vector>

namespace ServedTree {

// The served root, held open for one answer.
struct Root
{
    FileSystem::SharedDescriptor folder;
    // An absolute link target that begins with one of these leads back into the tree.
    QByteArray canonicalPath;
    QByteArray givenPath;
};

// Null when the root cannot be opened as a folder.
std::shared_ptr<const Root> openRoot(const QByteArray &rootPath);

// A folder inside the tree together with the open folders above it up to the
// root, so a ".." in a link is taken by descriptor, never by a path that could
// have been changed meanwhile.
class Position
{
public:
    explicit Position(std::shared_ptr<const Root> root);

    const FileSystem::Descriptor &folder() const { return *current(); }
    const FileSystem::SharedDescriptor &current() const;
    const Root &root() const { return *m_root; }
    bool atRoot() const { return m_below.empty(); }
    void enter(FileSystem::SharedDescriptor folder);
    void leave();
    void backToRoot();

private:
    std::shared_ptr<const Root> m_root;
    std::vector<FileSystem::SharedDescriptor> m_below;
};

struct Target
{
    // Kind Folder or Regular when served; Missing when not.
    FileSystem::OpenedEntry opened;
    // For a folder: the position inside it, from which it is listed.
    std::optional<Position> inside;

    FileSystem::Kind kind() const { return opened.info.kind; }
};

// Opens what the names lead to below the root. Every name is opened without
// following a link; a link's text is walked name by name from the folder that
// holds it. The walk ends as not served at a ".." above the root, an absolute
// link target outside the root, a name that is not servable (hidden, control
// characters) anywhere on the way, more than 40 links, or anything but a folder
// or regular file at the end. A fifo, socket or device is never opened, and
// nothing outside the tree is ever opened at all.
Target open(const std::shared_ptr<const Root> &root, const QList<QByteArray> &names, bool folderWanted);

// The same decision for an entry of a listed folder, without opening the entry:
// its kind and size when it would be served, else kind Missing.
FileSystem::EntryInfo servedEntry(const Position &folder, const FileSystem::NamedEntry &entry);

} // namespace ServedTree
