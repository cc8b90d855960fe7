// The listing page of a folder: sub-folders as links, then plain files with their sizes.
#pragma once

#include <QByteArray>
#include <QList>

struct ListingEntry
{
    QByteArray name;
    bool folder = false;
    qint64 size = 0;
};

namespace Listing {

// The request path made relative to the root, ending in the separator, "%20" decoded.
QByteArray folderPath(const QByteArray &requestPath);

// "/" + folder path + name with forward slashes, doubled slashes folded once.
QByteArray link(const QByteArray &folderPath, const QByteArray &name);

// Bytes to kilobytes, halves rounded up (512 bytes make 1).
qint64 roundedKilobytes(qint64 bytes);

// The page for these entries, in their order, with sizes grouped in the user's locale.
QByteArray page(const QByteArray &requestPath, const QList<ListingEntry> &entries);

} // namespace Listing

// The page for the folder that the request path names below the root. Only
// entries the server would serve are listed: no hidden names, no system entries,
// no links that lead out of the tree.
QByteArray BuildDirListing(const QByteArray &webRoot, const QByteArray &requestPath);
