// The walk below the served root: name by name on open folders, links taken apart by hand.
#include "servedtree.h"

#include "names.h"

#include <deque>

namespace ServedTree {

namespace {

using FileSystem::Kind;

// As many links as the kernel follows on one path before it gives up.
constexpr int MaximumLinks = 40;

struct Walk
{
    Position position;
    std::deque<QByteArray> pending;
    int links = 0;
};

std::optional<QByteArray> relativeToRoot(const QByteArray &absolute, const Root &root)
{
    // Resolved only for the rare absolute link, not for every answer.
    for (const QByteArray &prefix : {FileSystem::canonicalPath(root.givenPath), root.givenPath}) {
        if (prefix.isEmpty())
            continue;
        if (absolute == prefix)
            return QByteArray();
        const QByteArray folder = prefix.endsWith('/') ? prefix : prefix + '/';
        if (absolute.startsWith(folder))
            return absolute.mid(folder.size());
    }
    return std::nullopt;
}

// Puts the names of a link's text in front of the pending ones; false when it leads out.
bool followLink(Walk &walk, const QByteArray &name)
{
    const std::optional<QByteArray> target = FileSystem::linkTargetAt(walk.position.folder(), name);
    if (!target || target->isEmpty() || ++walk.links > MaximumLinks)
        return false;
    QByteArray relative = *target;
    if (relative.startsWith('/')) {
        const std::optional<QByteArray> inside = relativeToRoot(relative, walk.position.root());
        if (!inside)
            return false;
        relative = *inside;
        if (!walk.position.backToRoot())
            return false;
    }
    const QList<QByteArray> names = relative.split('/');
    for (auto it = names.crbegin(); it != names.crend(); ++it)
        walk.pending.push_front(*it);
    return true;
}

bool onlySeparatorsPending(const Walk &walk)
{
    for (const QByteArray &name : walk.pending) {
        if (!name.isEmpty() && name != ".")
            return false;
    }
    return true;
}

// Walks the pending names through folders and links up to the last name, which
// is left for the caller in the folder the walk stands in. An empty name: the
// walk ended on that folder itself. Nothing: not served.
std::optional<QByteArray> walkToLastName(Walk &walk)
{
    while (!walk.pending.empty()) {
        const QByteArray name = walk.pending.front();
        walk.pending.pop_front();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            if (walk.position.atRoot() || !walk.position.leave())
                return std::nullopt;
            continue;
        }
        if (!Names::isServableName(name))
            return std::nullopt;
        const FileSystem::EntryInfo entry = FileSystem::entryAt(walk.position.folder(), name);
        if (entry.kind == Kind::Link) {
            if (!followLink(walk, name))
                return std::nullopt;
            continue;
        }
        if (onlySeparatorsPending(walk) && entry.kind != Kind::Folder)
            return name;
        if (entry.kind != Kind::Folder)
            return std::nullopt;
        const std::optional<FileSystem::OpenedEntry> folder
            = FileSystem::openAt(walk.position.folder(), name);
        // Swapped for something else since it was looked at: not served this time.
        if (!folder || folder->info.kind != Kind::Folder)
            return std::nullopt;
        walk.position.enter(*folder);
    }
    return QByteArray();
}

bool sameObject(const FileSystem::EntryInfo &a, const FileSystem::EntryInfo &b)
{
    return a.kind != Kind::Missing && a.device == b.device && a.inode == b.inode;
}

} // namespace

std::optional<Position> openRoot(const QByteArray &rootPath)
{
    FileSystem::SharedDescriptor folder = FileSystem::openFolder(rootPath);
    if (!folder)
        return std::nullopt;
    return Position(std::make_shared<const Root>(Root {rootPath}), std::move(folder));
}

Position::Position(std::shared_ptr<const Root> root, FileSystem::SharedDescriptor rootFolder)
    : m_root(std::move(root))
    , m_folder(std::move(rootFolder))
{
}

void Position::enter(const FileSystem::OpenedEntry &folder)
{
    m_above.push_back(m_here ? *m_here : FileSystem::infoOf(*m_folder));
    m_folder = folder.descriptor;
    m_here = folder.info;
}

bool Position::leave()
{
    const std::optional<FileSystem::OpenedEntry> parent = FileSystem::openParent(*m_folder);
    if (!parent || !sameObject(parent->info, m_above.back()))
        return false;
    m_folder = parent->descriptor;
    m_here = parent->info;
    m_above.pop_back();
    return true;
}

bool Position::backToRoot()
{
    if (atRoot())
        return true;
    // The first folder the walk came through is the root this answer began in.
    const FileSystem::EntryInfo rootIdentity = m_above.front();
    FileSystem::SharedDescriptor root = FileSystem::openFolder(m_root->givenPath);
    if (!root || !sameObject(FileSystem::infoOf(*root), rootIdentity))
        return false;
    m_folder = std::move(root);
    m_here = rootIdentity;
    m_above.clear();
    return true;
}

Target open(std::optional<Position> root, const QList<QByteArray> &names, bool folderWanted)
{
    if (!root)
        return {};
    Walk walk {std::move(*root), std::deque<QByteArray>(names.cbegin(), names.cend())};
    const std::optional<QByteArray> last = walkToLastName(walk);
    if (!last)
        return {};
    Target target;
    if (last->isEmpty()) {
        target.opened = {walk.position.current(), FileSystem::infoOf(walk.position.folder())};
        target.inside = walk.position;
        return target;
    }
    std::optional<FileSystem::OpenedEntry> opened = FileSystem::openAt(walk.position.folder(), *last);
    if (!opened || (folderWanted && opened->info.kind != Kind::Folder))
        return {};
    target.opened = std::move(*opened);
    if (target.kind() == Kind::Folder) {
        walk.position.enter(target.opened);
        target.inside = walk.position;
    }
    return target;
}

FileSystem::EntryInfo servedEntry(const Position &folder, const FileSystem::NamedEntry &entry)
{
    if (!Names::isServableName(entry.name))
        return {};
    if (entry.info.kind == Kind::Folder || entry.info.kind == Kind::Regular)
        return entry.info;
    if (entry.info.kind != Kind::Link)
        return {};
    Walk walk {folder, {entry.name}};
    const std::optional<QByteArray> last = walkToLastName(walk);
    if (!last)
        return {};
    const FileSystem::EntryInfo info = last->isEmpty() ? FileSystem::infoOf(walk.position.folder())
                                                       : FileSystem::entryAt(walk.position.folder(), *last);
    return info.kind == Kind::Folder || info.kind == Kind::Regular ? info : FileSystem::EntryInfo();
}

} // namespace ServedTree
