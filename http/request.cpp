// Pure decisions about one request.
#include "request.h"

#include "filesystem.h"
#include "textops.h"

#include <array>
#include <utility>

namespace Request {

namespace {

const QByteArray Method = QByteArrayLiteral("GET ");
const QByteArray Version = QByteArrayLiteral(" HTTP/1.");
constexpr uchar FirstPrintable = 0x20;
constexpr uchar Delete = 0x7F;

bool hasControlByte(const QByteArray &path)
{
    for (const char c : path) {
        if (uchar(c) < FirstPrintable || uchar(c) == Delete)
            return true;
    }
    return false;
}

bool isRefusedSegment(const QByteArray &segment)
{
    return segment == "." || segment == ".." || FileSystem::isHiddenName(segment);
}

bool hasRefusedSegment(const QByteArray &path)
{
    qsizetype begin = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path.at(i) == '/' || path.at(i) == '\\') {
            if (isRefusedSegment(path.mid(begin, i - begin)))
                return true;
            begin = i + 1;
        }
    }
    return false;
}

} // namespace

bool matchesPattern(const QByteArray &received, qsizetype checkedBefore)
{
    if (!received.startsWith(Method))
        return false;
    // A mark that began earlier would have had a character behind it already.
    const qsizetype from = qMax(Method.size(), checkedBefore - Version.size());
    const qsizetype version = received.indexOf(Version, from);
    return version >= 0 && version + Version.size() < received.size();
}

QByteArray pathOf(const QByteArray &request)
{
    return TextBetween(request, Method, Version, ExactCompare, 1);
}

std::optional<QByteArray> localPathFor(const QByteArray &webRoot, const QByteArray &requestPath)
{
    if (requestPath.isEmpty() || requestPath.contains('*') || requestPath.contains('?')
        || hasControlByte(requestPath) || hasRefusedSegment(requestPath))
        return std::nullopt;
    const QByteArray separator(1, FileSystem::Separator);
    QByteArray local = webRoot + separator + ReplaceText(requestPath, "/", separator);
    local = ReplaceText(local, separator + separator, separator);
    return ReplaceText(local, "%20", " ");
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
    const QByteArray extension = TextAfter(requestPath, ".", ExactCompare, 1).toLower();
    for (const auto &[known, type] : types) {
        if (known == extension)
            return "Content-Type: " + type;
    }
    return "Content-Type: */*";
}

} // namespace Request
