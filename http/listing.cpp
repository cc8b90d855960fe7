// Building the listing page.
#include "listing.h"

#include "filesystem.h"
#include "localeformat.h"
#include "servedtree.h"
#include "textops.h"

namespace Listing {

namespace {

constexpr qint64 BytesPerKilobyte = 1024;
constexpr char LineEnd = '\n';

QByteArray separator()
{
    return QByteArray(1, FileSystem::Separator);
}

QByteArray folderEntry(const QByteArray &folder, const QByteArray &name)
{
    return "<a href=\"" + link(folder, name) + "\">" + name + "</a><br>" + LineEnd;
}

QByteArray fileRow(const QByteArray &folder, const ListingEntry &entry)
{
    const QByteArray size
        = LocaleFormat::toSingleByte(LocaleFormat::groupedInteger(roundedKilobytes(entry.size)));
    return "<tr>" + QByteArray(1, LineEnd) + "<td width=\"100%\"><a href=\"" + link(folder, entry.name)
        + "\">" + entry.name + "</a></td>" + LineEnd + "<td nowrap>" + size + " KBytes</td>" + LineEnd
        + "</tr>" + LineEnd;
}

} // namespace

QByteArray folderPath(const QByteArray &requestPath)
{
    QByteArray path = ReplaceText(requestPath, "/", separator());
    if (path.startsWith(FileSystem::Separator))
        path.remove(0, 1);
    if (!path.endsWith(FileSystem::Separator))
        path += FileSystem::Separator;
    return ReplaceText(path, "%20", " ");
}

QByteArray link(const QByteArray &folderPath, const QByteArray &name)
{
    const QByteArray path = ReplaceText("/" + folderPath + name, separator(), "/");
    return ReplaceText(path, "//", "/");
}

qint64 roundedKilobytes(qint64 bytes)
{
    return (bytes + BytesPerKilobyte / 2) / BytesPerKilobyte;
}

QByteArray page(const QByteArray &requestPath, const QList<ListingEntry> &entries)
{
    const QByteArray folder = folderPath(requestPath);
    QByteArray folders;
    QByteArray files;
    for (const ListingEntry &entry : entries) {
        if (entry.folder)
            folders += folderEntry(folder, entry.name);
        else
            files += fileRow(folder, entry);
    }
    QByteArray text = "<html><body>";
    if (!folders.isEmpty())
        text += "<b>Directories:</b><br>" + folders;
    if (!files.isEmpty()) {
        text += "<br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" cellspacing=\"2\">"
            + QByteArray(1, LineEnd) + files + "</table>" + LineEnd;
    }
    if (folders.isEmpty() && files.isEmpty())
        text += "This folder is empty.";
    return text + "</body></html>";
}

} // namespace Listing

QByteArray BuildDirListing(const QByteArray &webRoot, const QByteArray &requestPath)
{
    const QByteArray sep(1, FileSystem::Separator);
    QByteArray root = ReplaceText(webRoot, "/", sep);
    if (!root.endsWith(FileSystem::Separator))
        root += sep;
    const QByteArray folder = ReplaceText(root + Listing::folderPath(requestPath), sep + sep, sep);
    const QByteArray canonicalRoot = FileSystem::canonicalPath(webRoot);

    QList<ListingEntry> entries;
    const auto names = FileSystem::entryNames(folder);
    for (const QByteArray &name : names) {
        const FileSystem::PathInfo info = ServedTree::lookupEntry(folder, name, canonicalRoot);
        if (info.kind == FileSystem::Kind::Folder || info.kind == FileSystem::Kind::Regular)
            entries.append({name, info.kind == FileSystem::Kind::Folder, info.size});
    }
    return Listing::page(requestPath, entries);
}
