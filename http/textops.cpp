// The text operations over QByteArray, one byte per character.
#include "textops.h"

#include <stdexcept>

namespace {

constexpr uchar LatinCapitalFirst = 0xC0;
constexpr uchar LatinCapitalLast = 0xDE;
constexpr uchar MultiplicationSign = 0xD7;
constexpr uchar CaseDistance = 0x20;

// Case folding for the single-byte text: ASCII and the Latin-1 capitals.
QByteArray folded(const QByteArray &text)
{
    QByteArray result = text;
    for (char &c : result) {
        const auto u = uchar(c);
        if ((u >= 'A' && u <= 'Z')
            || (u >= LatinCapitalFirst && u <= LatinCapitalLast && u != MultiplicationSign))
            c = char(u + CaseDistance);
    }
    return result;
}

// Finds `find` in a text prepared once for the comparison mode.
class Searcher
{
public:
    Searcher(const QByteArray &text, const QByteArray &find, qint32 compare)
        : m_insensitive(compare == CaseInsensitiveCompare)
        , m_text(m_insensitive ? folded(text) : text)
        , m_find(m_insensitive ? folded(find) : find)
    {
    }
    qsizetype indexFrom(qsizetype from) const { return m_text.indexOf(m_find, from); }

private:
    bool m_insensitive;
    QByteArray m_text;
    QByteArray m_find;
};

} // namespace

QByteArray ReplaceText(const QByteArray &expression, const QByteArray &find, const QByteArray &replacement,
                       qint32 start, qint32 count, qint32 compare)
{
    if (find.isEmpty())
        throw std::invalid_argument("ReplaceText: empty search text");
    const qsizetype from = qMax<qint32>(start, 1) - 1;
    // Searching on in the original behind each hit is the same as searching the
    // worked copy behind each replacement, and keeps long inputs linear.
    const Searcher searcher(expression, find, compare);
    QByteArray result;
    qsizetype copied = qMin(from, expression.size());
    qint64 made = 0;
    for (qsizetype hit = searcher.indexFrom(copied); hit >= 0; hit = searcher.indexFrom(copied)) {
        result.append(expression.constData() + copied, hit - copied);
        result.append(replacement);
        copied = hit + find.size();
        if (++made == count)
            break;
    }
    result.append(expression.mid(copied));
    return result;
}

QByteArray TextBetween(const QByteArray &text, const QByteArray &startMark, const QByteArray &endMark,
                       qint32 compare, quint8 emptyWhenMissing)
{
    const qsizetype startHit = Searcher(text, startMark, compare).indexFrom(0);
    if (startHit >= 0) {
        const qsizetype inner = startHit + startMark.size();
        const qsizetype endHit = Searcher(text, endMark, compare).indexFrom(inner);
        if (endHit >= 0)
            return text.mid(inner, endHit - inner);
    }
    return emptyWhenMissing ? QByteArray() : text;
}

QByteArray TextAfter(const QByteArray &text, const QByteArray &mark, qint32 compare, quint8 emptyWhenMissing)
{
    const qsizetype hit = Searcher(text, mark, compare).indexFrom(0);
    if (hit >= 0)
        return text.mid(hit + mark.size());
    return emptyWhenMissing ? QByteArray() : text;
}
