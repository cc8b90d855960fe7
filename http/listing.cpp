// Building the listing page.
#include "listing.h"

#include "localeformat.h"
#include "names.h"
#include "servedtree.h"

#include <algorithm>

namespace Listing {

namespace {

constexpr qint64 BytesPerKilobyte = 1024;
constexpr char LineEnd = '\n';
// Bytes of a file row besides its link and name, and of a page besides its entries (both rounded up).
constexpr qsizetype EntryOverhead = 96;
constexpr qsizetype PageOverhead = 256;

// "/" + the folder's names as links spell them; empty for the root.
QByteArray linkPrefix(const QByteArray &folder)
{
    QByteArray prefix;
    const QList<QByteArray> names = folder.split('/');
    for (const QByteArray &name : names) {
        if (!name.isEmpty())
            prefix += '/' + Names::linkedName(name);
    }
    return prefix;
}

qint64 roundedKilobytes(qint64 bytes)
{
    // From the remainder: adding the half first overflows near the largest size a sparse file can have.
    return bytes / BytesPerKilobyte + (bytes % BytesPerKilobyte >= BytesPerKilobyte / 2 ? 1 : 0);
}

void appendAnchor(QByteArray &page, const QByteArray &prefix, const ListingEntry &entry)
{
    page += "<a href=\"";
    page += prefix;
    page += '/';
    page += Names::linkedName(entry.name);
    page += "\">";
    page += Names::shownName(entry.name);
    page += "</a>";
}

void appendFolderEntry(QByteArray &page, const QByteArray &prefix, const ListingEntry &entry)
{
    appendAnchor(page, prefix, entry);
    page += "<br>";
    page += LineEnd;
}

void appendFileRow(QByteArray &page, const QByteArray &prefix, const ListingEntry &entry, char separator)
{
    page += "<tr>";
    page += LineEnd;
    page += "<td width=\"100%\">";
    appendAnchor(page, prefix, entry);
    page += "</td>";
    page += LineEnd;
    page += "<td nowrap>";
    page += LocaleFormat::groupedThousands(roundedKilobytes(entry.size), separator);
    page += " KBytes</td>";
    page += LineEnd;
    page += "</tr>";
    page += LineEnd;
}

} // namespace

QByteArray page(const QByteArray &folder, const QList<ListingEntry> &entries, char groupSeparator)
{
    const QByteArray prefix = linkPrefix(folder);
    const auto isFolder = [](const ListingEntry &entry) { return entry.folder; };
    const bool hasFolders = std::any_of(entries.cbegin(), entries.cend(), isFolder);
    const bool hasFiles = !std::all_of(entries.cbegin(), entries.cend(), isFolder);
    // Written into one buffer, so a big folder's page is never copied while it grows.
    QByteArray text;
    qsizetype estimate = 0;
    for (const ListingEntry &entry : entries)
        estimate += EntryOverhead + prefix.size() + 2 * entry.name.size();
    text.reserve(estimate + PageOverhead);
    text += "<html><body>";
    if (hasFolders) {
        text += "<b>Directories:</b><br>";
        for (const ListingEntry &entry : entries) {
            if (entry.folder)
                appendFolderEntry(text, prefix, entry);
        }
    }
    if (hasFiles) {
        text
            += "<br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" cellspacing=\"2\">";
        text += LineEnd;
        for (const ListingEntry &entry : entries) {
            if (!entry.folder)
                appendFileRow(text, prefix, entry, groupSeparator);
        }
        text += "</table>";
        text += LineEnd;
    }
    if (!hasFolders && !hasFiles)
        text += "This folder is empty.";
    text += "</body></html>";
    return text;
}

QList<ListingEntry> servedEntries(const ServedTree::Position &folder)
{
    QList<ListingEntry> served;
    const QList<FileSystem::NamedEntry> entries = FileSystem::entriesOf(folder.folder());
    served.reserve(entries.size());
    for (const FileSystem::NamedEntry &entry : entries) {
        const FileSystem::EntryInfo info = ServedTree::servedEntry(folder, entry);
        if (info.kind == FileSystem::Kind::Folder || info.kind == FileSystem::Kind::Regular)
            served.append({entry.name, info.kind == FileSystem::Kind::Folder, info.size});
    }
    return served;
}

} // namespace Listing
