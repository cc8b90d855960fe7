// Pure decisions about one request: whether it is complete, its path, the names it leads through and its
// type.
#pragma once

#include <QByteArray>
#include <QList>

#include <optional>
#include <string_view>

namespace Request {

// No path the system can open is longer; a longer one is never answered, so no text grows with it.
inline constexpr qsizetype MaximumPathBytes = 4096;
inline constexpr std::string_view Method = "GET ";
inline constexpr std::string_view Version = " HTTP/1.";
// The method, the longest path, the version mark and one character: bytes that do not match by
// then can never match with a path the system can open.
inline constexpr qsizetype MaximumPendingBytes
    = qsizetype(Method.size()) + MaximumPathBytes + qsizetype(Version.size()) + 1;

// "GET * HTTP/1.?*": begins with "GET " and holds " HTTP/1." plus at least one
// more character somewhere behind it. `checkedBefore`: a length of `received`
// already known not to match, so data collected piece by piece is scanned once.
bool matchesPattern(const QByteArray &received, qsizetype checkedBefore = 0);

enum class Verdict {
    Waiting, // may still become a request: keep collecting
    Taken, // matches the pattern with a path the system can open: answer it
    Refused, // can never be answered: close without an answer
};
// What the bytes collected on a connection so far are. Refused: a path longer than
// MaximumPathBytes, MaximumPendingBytes without a match, or a whole header (ended by an
// empty line) that does not match. `checkedBefore` as for matchesPattern.
Verdict judge(const QByteArray &received, qsizetype checkedBefore = 0);

// The text between the first "GET " and the first " HTTP/1." behind it, unchanged.
QByteArray pathOf(const QByteArray &request);

// A request path judged safe: the names it leads through below the root.
struct ServedPath
{
    // Decoded names, none empty, each one Names::isServableName.
    QList<QByteArray> segments;
    // The path ended in "/": only a folder answers it.
    bool folderWanted = false;

    // "/" + the segments joined by "/" (the root is "/").
    QByteArray joined() const;
};

// The one gate between a request path and the disk: the names to walk below the
// root, or nothing when the request must be refused as not found. Refused before
// decoding: an empty path, "*" or "?" (a query, or a pattern). Then every
// percent escape is decoded, and the decoded path is judged: split at "/",
// empty segments dropped, every segment a servable name (no "." or "..", also
// not between "\\" separators, nothing hidden, no control character or NUL).
// What the names lead to on disk (links included) is judged while walking.
std::optional<ServedPath> servedPathFor(const QByteArray &requestPath);

// The "Content-Type: " line for the text after the first "." of the path, lower-cased.
QByteArray contentTypeLine(const QByteArray &requestPath);

} // namespace Request
