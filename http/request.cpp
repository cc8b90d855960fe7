// Pure decisions about one request.
#include "request.h"

#include "names.h"
#include "textops.h"

#include <array>
#include <utility>

namespace Request {

namespace {

const QByteArray MethodMark(Method.data(), qsizetype(Method.size()));
const QByteArray VersionMark(Version.data(), qsizetype(Version.size()));
const QByteArray EmptyLineLf = QByteArrayLiteral("\n\n");
const QByteArray EmptyLineCrLf = QByteArrayLiteral("\n\r\n");

} // namespace

bool matchesPattern(const QByteArray &received, qsizetype checkedBefore)
{
    if (!received.startsWith(MethodMark))
        return false;
    // A mark that began earlier would have had a character behind it already.
    const qsizetype from = qMax(MethodMark.size(), checkedBefore - VersionMark.size());
    const qsizetype version = received.indexOf(VersionMark, from);
    return version >= 0 && version + VersionMark.size() < received.size();
}

Verdict judge(const QByteArray &received, qsizetype checkedBefore)
{
    if (matchesPattern(received, checkedBefore))
        return pathOf(received).size() > MaximumPathBytes ? Verdict::Refused : Verdict::Taken;
    if (received.size() >= MaximumPendingBytes)
        return Verdict::Refused;
    // An empty line, after LF or CRLF line ends, may straddle the earlier arrivals.
    const qsizetype from = qMax(qsizetype(0), checkedBefore - (EmptyLineCrLf.size() - 1));
    const bool whole = received.indexOf(EmptyLineLf, from) >= 0 || received.indexOf(EmptyLineCrLf, from) >= 0;
    return whole ? Verdict::Refused : Verdict::Waiting;
}

QByteArray pathOf(const QByteArray &request)
{
    return TextBetween(request, MethodMark, VersionMark);
}

QByteArray ServedPath::joined() const
{
    QByteArray path;
    for (const QByteArray &segment : segments)
        path += '/' + segment;
    return path.isEmpty() ? QByteArrayLiteral("/") : path;
}

std::optional<ServedPath> servedPathFor(const QByteArray &requestPath)
{
    if (requestPath.isEmpty() || requestPath.contains('*') || requestPath.contains('?'))
        return std::nullopt;
    const QByteArray decoded = Names::percentDecoded(requestPath);
    ServedPath path;
    path.folderWanted = decoded.endsWith('/');
    const QList<QByteArray> pieces = decoded.split('/');
    for (const QByteArray &piece : pieces) {
        if (piece.isEmpty())
            continue;
        if (!Names::isServableName(piece))
            return std::nullopt;
        path.segments.append(piece);
    }
    return path;
}

QByteArray contentTypeLine(const QByteArray &requestPath)
{
    static const std::array<std::pair<QByteArray, QByteArray>, 10> types {{
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"zip", "application/zip"},
        {"mp3", "audio/mpeg"},
        {"m3u", "audio/x-mpegurl"},
        {"pls", "audio/x-mpegurl"},
        {"xpl", "audio/x-mpegurl"},
    }};
    const QByteArray extension = TextAfter(requestPath, ".").toLower();
    for (const auto &[known, type] : types) {
        if (known == extension)
            return "Content-Type: " + type;
    }
    return "Content-Type: */*";
}

} // namespace Request
