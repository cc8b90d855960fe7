// The listing page of a folder: sub-folders as links, then plain files with their sizes.
#pragma once

#include <QByteArray>
#include <QList>

namespace ServedTree {
class Position;
}

struct ListingEntry
{
    QByteArray name;
    bool folder = false;
    qint64 size = 0;
};
Q_DECLARE_TYPEINFO(ListingEntry, Q_RELOCATABLE_TYPE);

namespace Listing {

// The link to the entry `name` of the folder `folder` (its names below the root
// joined by "/"): "/" + the folder's names + the name, joined by "/", each name
// as Names::linkedName writes it.
QByteArray link(const QByteArray &folder, const QByteArray &name);

// The page for these entries, in their order: names shown as Names::shownName,
// links as `link`, sizes grouped in threes with `groupSeparator`.
QByteArray page(const QByteArray &folder, const QList<ListingEntry> &entries, char groupSeparator);
// The same with the thousands separator of the user's locale.
QByteArray page(const QByteArray &folder, const QList<ListingEntry> &entries);

// The entries of an open folder that the server would serve, in the file
// system's order: servable names, folders and regular files, links only where
// they lead to one inside the tree. Only reads the file system, so it may run
// off the event thread.
QList<ListingEntry> servedEntries(const ServedTree::Position &folder);

} // namespace Listing

// The page for the folder that the request path names below the root, found on
// the same road a request takes (Request::servedPathFor, then ServedTree::open);
// the page of an empty folder when the path names no served folder.
QByteArray BuildDirListing(const QByteArray &webRoot, const QByteArray &requestPath);
