// What a local path names inside the served tree: a folder, a file, or nothing to serve.
#pragma once

#include "filesystem.h"

#include <QByteArray>

namespace ServedTree {

// Whether a canonical path is the canonical root or lies below it.
bool isBelowRoot(const QByteArray &canonical, const QByteArray &canonicalRoot);

// Whether a path below the root passes through a hidden name on its way.
bool hasHiddenSegment(const QByteArray &relative);

// Kind Folder or Regular (with its size) when the path may be served, else Missing.
// Links are followed, and served only when what they lead to lies below the root
// and is not hidden: the canonical path is checked against the canonical root,
// so no link can carry a request out of the tree. Fifos, sockets and devices
// count as system entries and are never served.
FileSystem::PathInfo lookup(const QByteArray &localPath, const QByteArray &canonicalRoot);

// The same decision for an entry of a folder that is itself served; only links
// need resolving then, which keeps listing a large folder cheap.
FileSystem::PathInfo lookupEntry(const QByteArray &folder, const QByteArray &name,
                                 const QByteArray &canonicalRoot);

} // namespace ServedTree
