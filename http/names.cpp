// File names as bytes: decoding request escapes, judging names, and their plain-ASCII forms for pages.
#include "names.h"

#include "filesystem.h"

#include <algorithm>
#include <array>

namespace Names {

namespace {

constexpr uchar FirstPrintable = 0x20;
constexpr uchar Delete = 0x7F;
constexpr char32_t FirstC1 = 0x80;
constexpr char32_t LastC1 = 0x9F;
constexpr char32_t ReplacementCharacter = 0xFFFD;
constexpr int HexBase = 16;
constexpr int DecimalBase = 10;
constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr int NibbleBits = 4;
constexpr uchar LowNibble = 0x0F;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + DecimalBase;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + DecimalBase;
    return -1;
}

// Windows code page 1252 for the bytes 0x80 to 0x9F; 0 where it defines nothing.
constexpr std::array<char16_t, 32> Cp1252High {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

struct Character
{
    char32_t code = 0;
    bool utf8 = false; // decoded from a UTF-8 sequence, not a stray byte
};

// The forms of a UTF-8 sequence by its first byte (a lone byte below 0x80 aside).
struct SequenceForm
{
    uchar firstLead;
    uchar lastLead;
    int length;
    uchar leadBits;
    char32_t lowest; // anything lower is an overlong form
};
constexpr std::array<SequenceForm, 3> SequenceForms {{
    {0xC2, 0xDF, 2, 0x1F, 0x80},
    {0xE0, 0xEF, 3, 0x0F, 0x800},
    {0xF0, 0xF4, 4, 0x07, 0x10000},
}};
constexpr uchar ContinuationMask = 0xC0;
constexpr uchar ContinuationMark = 0x80;
constexpr uchar ContinuationBits = 0x3F;
constexpr int BitsPerContinuation = 6;
constexpr char32_t FirstSurrogate = 0xD800;
constexpr char32_t LastSurrogate = 0xDFFF;
constexpr char32_t LastCodePoint = 0x10FFFF;

// The UTF-8 sequence at `at` and its length, strictly (no overlong forms, no
// surrogates, nothing past U+10FFFF); length 0 when there is none.
int utf8Sequence(const QByteArray &bytes, qsizetype at, char32_t *code)
{
    const auto lead = uchar(bytes[at]);
    const auto form
        = std::find_if(SequenceForms.cbegin(), SequenceForms.cend(),
                       [lead](const SequenceForm &f) { return lead >= f.firstLead && lead <= f.lastLead; });
    if (form == SequenceForms.cend() || at + form->length > bytes.size())
        return 0;
    char32_t value = lead & form->leadBits;
    for (int i = 1; i < form->length; ++i) {
        const auto next = uchar(bytes[at + i]);
        if ((next & ContinuationMask) != ContinuationMark)
            return 0;
        value = (value << BitsPerContinuation) | (next & ContinuationBits);
    }
    if (value < form->lowest || value > LastCodePoint || (value >= FirstSurrogate && value <= LastSurrogate))
        return 0;
    *code = value;
    return form->length;
}

// Calls `visit` for each character of the name as the page reads it.
template<typename Visit> void forEachCharacter(const QByteArray &name, Visit visit)
{
    for (qsizetype at = 0; at < name.size();) {
        const auto byte = uchar(name[at]);
        char32_t code = 0;
        if (byte < FirstC1) {
            visit(Character {byte, true});
            ++at;
        } else if (const int length = utf8Sequence(name, at, &code)) {
            visit(Character {code, true});
            at += length;
        } else {
            const char16_t high = byte <= LastC1 ? Cp1252High[byte - FirstC1] : char16_t(byte);
            visit(Character {high != 0 ? char32_t(high) : ReplacementCharacter, false});
            ++at;
        }
    }
}

bool isControl(const Character &c)
{
    return c.code < FirstPrintable || c.code == Delete || (c.utf8 && c.code >= FirstC1 && c.code <= LastC1);
}

bool isServablePiece(const QByteArray &piece)
{
    return piece != "." && piece != ".." && !FileSystem::isHiddenName(piece);
}

} // namespace

QByteArray percentDecoded(const QByteArray &text)
{
    QByteArray decoded;
    decoded.reserve(text.size());
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (text[at] == '%' && at + 2 < text.size() && hexValue(text[at + 1]) >= 0
            && hexValue(text[at + 2]) >= 0) {
            decoded.append(char(hexValue(text[at + 1]) * HexBase + hexValue(text[at + 2])));
            at += 2;
        } else {
            decoded.append(text[at]);
        }
    }
    return decoded;
}

bool isServableName(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    bool control = false;
    forEachCharacter(name, [&](const Character &c) { control = control || isControl(c); });
    if (control)
        return false;
    qsizetype begin = 0;
    for (qsizetype at = 0; at <= name.size(); ++at) {
        if (at == name.size() || name[at] == '\\') {
            if (!isServablePiece(name.mid(begin, at - begin)))
                return false;
            begin = at + 1;
        }
    }
    return true;
}

QByteArray shownName(const QByteArray &name)
{
    // Only "&" and "<" can start markup in a page's text; quotes and ">" are plain text there.
    const auto plain
        = [](char c) { return uchar(c) >= FirstPrintable && uchar(c) < Delete && c != '&' && c != '<'; };
    // Most names need nothing and are handed back as they are, without a copy.
    if (std::all_of(name.cbegin(), name.cend(), plain))
        return name;
    QByteArray shown;
    shown.reserve(name.size());
    forEachCharacter(name, [&](const Character &c) {
        if (c.code < FirstC1 && plain(char(c.code)))
            shown.append(char(c.code));
        else
            shown.append("&#" + QByteArray::number(quint32(c.code)) + ';');
    });
    return shown;
}

QByteArray linkedName(const QByteArray &name)
{
    // What a browser would read otherwise than as this byte: the end of the attribute ("), a
    // character reference (&), a fragment (#), a query (?), an escape (%), a separator (\, which
    // it turns into /), and bytes it drops or re-encodes (controls, non-ASCII); and "*", which the
    // server refuses in a request. Every other printable ASCII byte stays, so a plain name links
    // exactly as it is spelt.
    constexpr QByteArrayView Misread("\"#%&*?\\");
    QByteArray link;
    link.reserve(name.size());
    for (const char c : name) {
        const auto byte = uchar(c);
        if (byte >= FirstPrintable && byte < Delete && !Misread.contains(c))
            link.append(c);
        else
            link.append('%').append(HexDigits[byte >> NibbleBits]).append(HexDigits[byte & LowNibble]);
    }
    return link;
}

} // namespace Names
