// The served tree's decision over the file system.
#include "servedtree.h"

namespace ServedTree {

namespace {

FileSystem::PathInfo notServed()
{
    return {};
}

bool servableKind(const FileSystem::PathInfo &info)
{
    return !info.hidden && (info.kind == FileSystem::Kind::Folder || info.kind == FileSystem::Kind::Regular);
}

} // namespace

bool isBelowRoot(const QByteArray &canonical, const QByteArray &canonicalRoot)
{
    if (canonicalRoot.isEmpty() || !canonical.startsWith(canonicalRoot))
        return false;
    return canonical.size() == canonicalRoot.size() || canonicalRoot.endsWith(FileSystem::Separator)
        || canonical.at(canonicalRoot.size()) == FileSystem::Separator;
}

bool hasHiddenSegment(const QByteArray &relative)
{
    const auto segments = relative.split(FileSystem::Separator);
    for (const QByteArray &segment : segments) {
        if (FileSystem::isHiddenName(segment))
            return true;
    }
    return false;
}

FileSystem::PathInfo lookup(const QByteArray &localPath, const QByteArray &canonicalRoot)
{
    const FileSystem::PathInfo info = FileSystem::info(localPath);
    if (!servableKind(info))
        return notServed();
    const QByteArray canonical = FileSystem::canonicalPath(localPath);
    if (!isBelowRoot(canonical, canonicalRoot) || hasHiddenSegment(canonical.mid(canonicalRoot.size())))
        return notServed();
    return info;
}

FileSystem::PathInfo lookupEntry(const QByteArray &folder, const QByteArray &name,
                                 const QByteArray &canonicalRoot)
{
    if (FileSystem::isHiddenName(name))
        return notServed();
    QByteArray path = folder;
    if (!path.endsWith(FileSystem::Separator))
        path += FileSystem::Separator;
    path += name;
    const FileSystem::PathInfo info = FileSystem::info(path);
    if (info.link)
        return lookup(path, canonicalRoot);
    return servableKind(info) ? info : notServed();
}

} // namespace ServedTree
