// What a judged path leads to inside the served tree, decided on the objects actually opened.
#pragma once

#include "filesystem.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>
#include <vector>

namespace ServedTree {

// The served root, as it was given.
struct Root
{
    QByteArray givenPath;
};

// A folder inside the tree, held open, and the identities of the folders above it up to the
// root. Only the folder itself is held, so a listing waiting for its turn holds one descriptor
// however deep it is. A ".." in a link is taken by descriptor and leads only back into the
// folder the walk came through, never along a path that could have been changed meanwhile.
class Position
{
public:
    Position(std::shared_ptr<const Root> root, FileSystem::SharedDescriptor rootFolder);

    const FileSystem::Descriptor &folder() const { return *m_folder; }
    const FileSystem::SharedDescriptor &current() const { return m_folder; }
    const Root &root() const { return *m_root; }
    bool atRoot() const { return m_above.empty(); }
    void enter(const FileSystem::OpenedEntry &folder);
    // False when the parent is no longer the folder the walk came through (moved meanwhile).
    bool leave();
    // False when the root folder has been replaced meanwhile.
    bool backToRoot();

private:
    std::shared_ptr<const Root> m_root;
    FileSystem::SharedDescriptor m_folder;
    // Looked at only when the walk goes deeper: most answers never need the root's identity.
    std::optional<FileSystem::EntryInfo> m_here;
    std::vector<FileSystem::EntryInfo> m_above;
};

// A position at the served root, opened for one answer; nothing when it cannot be opened as a folder.
std::optional<Position> openRoot(const QByteArray &rootPath);

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
Target open(std::optional<Position> root, const QList<QByteArray> &names, bool folderWanted);

// The same decision for an entry of a listed folder, without opening the entry:
// its kind and size when it would be served, else kind Missing.
FileSystem::EntryInfo servedEntry(const Position &folder, const FileSystem::NamedEntry &entry);

} // namespace ServedTree
