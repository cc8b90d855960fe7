// Fuzzes the listing page from any entry names and sizes: its shape, names without raw markup, exact links.
#include "fuzzcheck.h"
#include "listing.h"

#include <QList>
#include <QString>

#include <array>
#include <limits>

namespace {

constexpr size_t MaximumEntries = 24;
constexpr size_t MaximumName = 40;
constexpr size_t MaximumFolder = 60;
constexpr std::array<char, 5> GroupSeparators {'.', ',', '\'', ' ', char(0xA0)};
constexpr qint64 BytesPerKilobyte = 1024;
constexpr qsizetype GroupSize = 3;
constexpr char32_t LastCodePoint = 0x10FFFF;
constexpr char32_t FirstSurrogate = 0xD800;
constexpr char32_t LastSurrogate = 0xDFFF;
constexpr uchar FirstPrintable = 0x20;
constexpr uchar Delete = 0x7F;
constexpr int DecimalBase = 10;

const QByteArray PageStart = "<html><body>";
const QByteArray PageEnd = "</body></html>";
const QByteArray EmptyNote = "This folder is empty.";
const QByteArray FoldersHeading = "<b>Directories:</b><br>";
const QByteArray TableStart
    = "<br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" cellspacing=\"2\">\n";
const QByteArray TableEnd = "</table>\n";
const QByteArray SizeEnd = " KBytes</td>";

// Reads the page front to back; a piece that is not where it belongs breaks the property.
class PageReader
{
public:
    explicit PageReader(const QByteArray &page)
        : m_page(page)
    {
    }

    void expect(const QByteArray &literal)
    {
        FUZZ_CHECK(QByteArrayView(m_page).sliced(m_at).startsWith(literal));
        m_at += literal.size();
    }

    // Everything up to the next `end` (which stays unread).
    QByteArray upTo(QByteArrayView end)
    {
        const qsizetype stop = m_page.indexOf(end, m_at);
        FUZZ_CHECK(stop >= 0);
        const QByteArray piece = m_page.sliced(m_at, stop - m_at);
        m_at = stop;
        return piece;
    }

    bool atEnd() const { return m_at == m_page.size(); }

private:
    const QByteArray &m_page;
    qsizetype m_at = 0;
};

// Bytes that must never stand raw in an href: they would end the attribute,
// start an entity, cut a query or fragment, turn into "/" in a browser, be
// refused by the server (*), or change when the link is decoded.
bool mayStandRawInLink(uchar c)
{
    static constexpr QByteArrayView Forbidden("\"&*?#\\");
    return c >= FirstPrintable && c < Delete && !Forbidden.contains(char(c));
}

void checkLink(const QByteArray &href, const QByteArray &folder, const QByteArray &name)
{
    for (qsizetype i = 0; i < href.size(); ++i) {
        FUZZ_CHECK(mayStandRawInLink(uchar(href[i])));
        if (href[i] == '%')
            FUZZ_CHECK(i + 2 < href.size() && Fuzz::isHexDigit(href[i + 1]) && Fuzz::isHexDigit(href[i + 2]));
    }
    QByteArray asked;
    for (const QByteArray &segment : folder.split('/')) {
        if (!segment.isEmpty())
            asked += '/' + segment;
    }
    asked += '/' + name;
    FUZZ_CHECK(Fuzz::percentDecoded(href) == asked);
}

// The characters a shown name stands for: every "&#n;" read back.
QList<uint> shownCharacters(const QByteArray &shown)
{
    QList<uint> characters;
    for (qsizetype at = 0; at < shown.size(); ++at) {
        const auto c = uchar(shown[at]);
        FUZZ_CHECK(c >= FirstPrintable && c < Delete && c != '<');
        if (c != '&') {
            characters += c;
            continue;
        }
        FUZZ_CHECK(at + 1 < shown.size() && shown[at + 1] == '#');
        at += 2;
        quint64 code = 0;
        const qsizetype digits = at;
        while (at < shown.size() && shown[at] >= '0' && shown[at] <= '9' && code <= LastCodePoint)
            code = code * DecimalBase + quint64(shown[at++] - '0');
        FUZZ_CHECK(at > digits && at < shown.size() && shown[at] == ';');
        FUZZ_CHECK(code <= LastCodePoint && (code < FirstSurrogate || code > LastSurrogate));
        characters += uint(code);
    }
    return characters;
}

void checkShown(const QByteArray &shown, const QByteArray &name)
{
    const QList<uint> characters = shownCharacters(shown);
    FUZZ_CHECK(characters.size() <= name.size());
    // A name in UTF-8 shows as exactly its characters.
    const QString text = QString::fromUtf8(name);
    if (text.toUtf8() == name)
        FUZZ_CHECK(characters == text.toUcs4());
}

void checkSize(const QByteArray &cell, qint64 bytes, char separator)
{
    const qint64 kilobytes = bytes / BytesPerKilobyte + (bytes % BytesPerKilobyte >= BytesPerKilobyte / 2);
    const QByteArray digits = QByteArray::number(kilobytes);
    QByteArray grouped;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % GroupSize == 0)
            grouped += separator;
        grouped += digits[i];
    }
    FUZZ_CHECK(cell == grouped);
}

void checkFolderEntry(PageReader &page, const QByteArray &folder, const ListingEntry &entry)
{
    page.expect("<a href=\"");
    checkLink(page.upTo("\""), folder, entry.name);
    page.expect("\">");
    checkShown(page.upTo("<"), entry.name);
    page.expect("</a><br>\n");
}

void checkFileRow(PageReader &page, const QByteArray &folder, const ListingEntry &entry, char separator)
{
    page.expect("<tr>\n<td width=\"100%\"><a href=\"");
    checkLink(page.upTo("\""), folder, entry.name);
    page.expect("\">");
    checkShown(page.upTo("<"), entry.name);
    page.expect("</a></td>\n<td nowrap>");
    checkSize(page.upTo(SizeEnd), entry.size, separator);
    page.expect(SizeEnd);
    page.expect("\n</tr>\n");
}

void checkPage(const QByteArray &folder, const QList<ListingEntry> &entries, char separator)
{
    const QByteArray text = Listing::page(folder, entries, separator);
    PageReader page(text);
    page.expect(PageStart);
    bool anyFolder = false;
    bool anyFile = false;
    for (const ListingEntry &entry : entries)
        (entry.folder ? anyFolder : anyFile) = true;
    if (anyFolder) {
        page.expect(FoldersHeading);
        for (const ListingEntry &entry : entries) {
            if (entry.folder)
                checkFolderEntry(page, folder, entry);
        }
    }
    if (anyFile) {
        page.expect(TableStart);
        for (const ListingEntry &entry : entries) {
            if (!entry.folder)
                checkFileRow(page, folder, entry, separator);
        }
        page.expect(TableEnd);
    }
    if (entries.isEmpty())
        page.expect(EmptyNote);
    page.expect(PageEnd);
    FUZZ_CHECK(page.atEnd());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const char separator = input.PickValueInArray(GroupSeparators);
    const QByteArray folder = Fuzz::randomLengthBytes(input, MaximumFolder);
    QList<ListingEntry> entries;
    while (input.remaining_bytes() > 0 && size_t(entries.size()) < MaximumEntries) {
        ListingEntry entry;
        entry.folder = input.ConsumeBool();
        entry.size = input.ConsumeIntegralInRange<qint64>(0, std::numeric_limits<qint64>::max());
        entry.name = Fuzz::randomLengthBytes(input, MaximumName);
        entries += entry;
    }
    checkPage(folder, entries, separator);
    return 0;
}
