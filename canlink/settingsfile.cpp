// Reading and writing the settings file's three lines.
#include "settingsfile.h"

#include "numbertext.h"

#include <cerrno>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr QByteArrayView kMarker("riri");
constexpr QByteArrayView kPortKey("PortNr=");
constexpr QByteArrayView kSpeedKey("BaudRate=");

// Hands out the lines of the bytes one by one. A line ends at CR, CR LF or a
// lone LF (a file edited on another system); neither belongs to the line.
class LineReader
{
public:
    explicit LineReader(const QByteArray &bytes)
        : m_bytes(bytes)
    {
    }

    bool atEnd() const { return m_at >= m_bytes.size(); }

    QByteArrayView next()
    {
        const qsizetype start = m_at;
        while (m_at < m_bytes.size() && m_bytes[m_at] != '\r' && m_bytes[m_at] != '\n')
            ++m_at;
        const QByteArrayView line = QByteArrayView(m_bytes).sliced(start, m_at - start);
        if (m_at < m_bytes.size()) {
            const bool carriageReturn = m_bytes[m_at] == '\r';
            ++m_at;
            if (carriageReturn && m_at < m_bytes.size() && m_bytes[m_at] == '\n')
                ++m_at;
        }
        return line;
    }

private:
    const QByteArray &m_bytes;
    qsizetype m_at = 0;
};

// The value after a key with blanks around it removed, one character per byte.
QString valueAfter(QByteArrayView line, QByteArrayView key)
{
    QByteArrayView value = line.sliced(key.size());
    while (value.startsWith(' '))
        value = value.sliced(1);
    while (value.endsWith(' '))
        value.chop(1);
    return QString::fromLatin1(value);
}

} // namespace

LinkSettings parseSettings(const QByteArray &bytes)
{
    LinkSettings settings;
    LineReader lines(bytes);
    while (!lines.atEnd()) {
        if (!lines.next().startsWith(kMarker))
            continue;
        // The two lines after a marker are taken as settings, whatever they hold.
        if (lines.atEnd())
            break;
        if (const QByteArrayView line = lines.next(); line.startsWith(kPortKey))
            settings.portText = valueAfter(line, kPortKey);
        if (lines.atEnd())
            break;
        if (const QByteArrayView line = lines.next(); line.startsWith(kSpeedKey)) {
            // A speed that is no number keeps what was read before.
            if (auto speed = numberFromText(valueAfter(line, kSpeedKey)))
                settings.speed = speed;
        }
    }
    return settings;
}

QByteArray settingsBytes(const QString &portText, const QString &speedText)
{
    // A value is one line: a line break pasted into the port field must not add lines of its
    // own (a second "BaudRate=" that the next start would take).
    const auto oneLine = [](const QString &text) {
        QByteArray bytes = text.toLatin1();
        bytes.removeIf([](char c) { return c == '\r' || c == '\n'; });
        return bytes;
    };
    return kMarker.toByteArray() + "\r\n" + kPortKey.toByteArray() + oneLine(portText) + "\r\n"
        + kSpeedKey.toByteArray() + oneLine(speedText) + "\r\n";
}

QString saveFailureText(int error)
{
    QString reason;
    switch (error) {
    case ENOSPC:
    case EDQUOT: reason = u"kein Speicherplatz frei"_s; break;
    case EACCES:
    case EPERM: reason = u"keine Schreibberechtigung"_s; break;
    case EROFS: reason = u"Datenträger schreibgeschützt"_s; break;
    case ENOENT:
    case ENOTDIR: reason = u"Ordner nicht gefunden"_s; break;
    default: reason = u"Fehler "_s + QString::number(error); break;
    }
    return u"Einstellungen konnten nicht gespeichert werden: "_s + reason;
}
