// Pure decisions about one request: whether it is complete, its path, where that lies and its type.
#pragma once

#include <QByteArray>

#include <optional>

namespace Request {

// Received bytes kept while waiting for a complete request; beyond this the slot is closed.
inline constexpr qsizetype MaximumPendingBytes = 64 * 1024;

// "GET * HTTP/1.?*": begins with "GET " and holds " HTTP/1." plus at least one
// more character somewhere behind it. `checkedBefore`: a length of `received`
// already known not to match, so data collected piece by piece is scanned once.
bool matchesPattern(const QByteArray &received, qsizetype checkedBefore = 0);

// The text between the first "GET " and the first " HTTP/1." behind it, unchanged.
QByteArray pathOf(const QByteArray &request);

// The one gate between a request path and the disk: the local path to look at,
// or nothing when the request must be refused as not found. Refused: an empty
// path, "*" or "?", control bytes (NUL included), "." and ".." segments between
// "/" and "\" separators, and (where dot-names are hidden) any segment that
// begins with ".". The path is always joined below the root with a separator of
// its own, so a path without a leading "/" cannot reach a sibling of the root.
// Doubled separators are folded once and "%20" becomes a space; no other escape
// is decoded. What the path names on disk (links included) is judged afterwards.
std::optional<QByteArray> localPathFor(const QByteArray &webRoot, const QByteArray &requestPath);

// The "Content-Type: " line for the text after the first "." of the path, lower-cased.
QByteArray contentTypeLine(const QByteArray &requestPath);

} // namespace Request
