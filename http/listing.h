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

// The page for these entries of the folder `folder` (its names below the root joined
// by "/"), in their order: names shown as Names::shownName, each linked as "/" + the
// folder's names + its own name, joined by "/" and written as Names::linkedName
// writes them; sizes grouped in threes with `groupSeparator`.
QByteArray page(const QByteArray &folder, const QList<ListingEntry> &entries, char groupSeparator);

// The entries of an open folder that the server would serve, in the file
// system's order: servable names, folders and regular files, links only where
// they lead to one inside the tree. Only reads the file system, so it may run
// off the event thread.
QList<ListingEntry> servedEntries(const ServedTree::Position &folder);

} // namespace Listing
