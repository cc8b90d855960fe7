// Reading and writing the settings file's three lines.
#include "settingsfile.h"

#include "numbertext.h"

#include <QList>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr QLatin1StringView kMarker("riri");
constexpr QLatin1StringView kPortKey("PortNr=");
constexpr QLatin1StringView kSpeedKey("BaudRate=");

// A line ends at CR, CR LF or a lone LF (a file edited on another system).
QList<QString> splitLines(const QByteArray &bytes)
{
    QList<QString> lines;
    qsizetype start = 0;
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        const char c = bytes[at];
        if (c != '\r' && c != '\n')
            continue;
        lines.append(QString::fromLatin1(bytes.mid(start, at - start)));
        if (c == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n')
            ++at;
        start = at + 1;
    }
    if (start < bytes.size())
        lines.append(QString::fromLatin1(bytes.mid(start)));
    return lines;
}

QString trimBlanks(QStringView text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.mid(first, last - first).toString();
}

} // namespace

LinkSettings parseSettings(const QByteArray &bytes)
{
    LinkSettings settings;
    const QList<QString> lines = splitLines(bytes);
    for (qsizetype at = 0; at < lines.size(); ++at) {
        if (!lines[at].startsWith(kMarker))
            continue;
        // The two lines after a marker are taken as settings, whatever they hold.
        if (++at >= lines.size())
            break;
        if (lines[at].startsWith(kPortKey))
            settings.portText = trimBlanks(QStringView(lines[at]).mid(kPortKey.size()));
        if (++at >= lines.size())
            break;
        if (lines[at].startsWith(kSpeedKey)) {
            // A speed that is no number keeps what was read before.
            if (auto speed = numberFromText(trimBlanks(QStringView(lines[at]).mid(kSpeedKey.size()))))
                settings.speed = speed;
        }
    }
    return settings;
}

QByteArray settingsBytes(const QString &portText, const QString &speedText)
{
    const QString text
        = kMarker + u"\r\n"_s + kPortKey + portText + u"\r\n"_s + kSpeedKey + speedText + u"\r\n"_s;
    return text.toLatin1();
}
