// Fuzzes the request gate: the pattern on split arrivals, the path, the judged path below the root, the type.
#include "fuzzcheck.h"
#include "request.h"

#include <QList>

#include <algorithm>

namespace {

constexpr QByteArrayView Method("GET ");
constexpr QByteArrayView Version(" HTTP/1.");
constexpr uchar FirstPrintable = 0x20;
constexpr uchar Delete = 0x7F;
// U+0080..U+009F in UTF-8: 0xC2 and a second byte in this range.
constexpr uchar C1Lead = 0xC2;
constexpr uchar C1SecondFirst = 0x80;
constexpr uchar C1SecondLast = 0x9F;
// Arrivals a request is split into, at most, and the largest of them.
constexpr int MaximumArrivals = 8;
constexpr size_t MaximumArrival = 64;

// "GET * HTTP/1.?*": the version mark, one character behind it, after the method.
bool patternModel(QByteArrayView received)
{
    if (!received.startsWith(Method))
        return false;
    const qsizetype version = received.indexOf(Version, Method.size());
    return version >= 0 && version + Version.size() < received.size();
}

QByteArray pathModel(QByteArrayView request)
{
    const qsizetype method = request.indexOf(Method);
    if (method < 0)
        return {};
    const qsizetype start = method + Method.size();
    const qsizetype version = request.indexOf(Version, start);
    if (version < 0)
        return {};
    return request.sliced(start, version - start).toByteArray();
}

bool hasControl(QByteArrayView name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        const auto c = uchar(name[i]);
        if (c < FirstPrintable || c == Delete)
            return true;
        if (c == C1Lead && i + 1 < name.size() && uchar(name[i + 1]) >= C1SecondFirst
            && uchar(name[i + 1]) <= C1SecondLast)
            return true;
    }
    return false;
}

// Nothing in the name leads up or sideways, whichever of "/" and "\" a reader
// takes for a separator: no piece is ".", ".." or hidden (all begin with ".").
bool namesNoDotPiece(QByteArrayView name)
{
    qsizetype begin = 0;
    for (qsizetype at = 0; at <= name.size(); ++at) {
        if (at == name.size() || name[at] == '/' || name[at] == '\\') {
            if (at > begin && name[begin] == '.')
                return false;
            begin = at + 1;
        }
    }
    return true;
}

QList<QByteArray> nonEmptyPieces(const QByteArray &path)
{
    QList<QByteArray> pieces = path.split('/');
    pieces.removeIf([](const QByteArray &piece) { return piece.isEmpty(); });
    return pieces;
}

void checkServedPath(const QByteArray &requestPath)
{
    const std::optional<Request::ServedPath> served = Request::servedPathFor(requestPath);
    // Judged after decoding: the model works on what the client's escapes spell.
    const QByteArray decoded = Fuzz::percentDecoded(requestPath);
    const QList<QByteArray> wanted = nonEmptyPieces(decoded);
    const bool refusedBeforeDecoding
        = requestPath.isEmpty() || requestPath.contains('*') || requestPath.contains('?');
    const bool safe = std::all_of(wanted.cbegin(), wanted.cend(), [](const QByteArray &name) {
        return !hasControl(name) && namesNoDotPiece(name);
    });
    FUZZ_CHECK(served.has_value() == (!refusedBeforeDecoding && safe));
    if (!served)
        return;
    // Below the root, and nothing hidden, dotted or controlling on the way.
    for (const QByteArray &segment : served->segments) {
        FUZZ_CHECK(!segment.isEmpty() && !segment.contains('/'));
        FUZZ_CHECK(!hasControl(segment) && namesNoDotPiece(segment));
    }
    // Exactly the names the client asked for, nothing more or less.
    FUZZ_CHECK(served->segments == wanted);
    FUZZ_CHECK(served->folderWanted == decoded.endsWith('/'));
    FUZZ_CHECK(served->joined() == (wanted.isEmpty() ? QByteArray("/") : '/' + wanted.join('/')));
}

void checkContentType(const QByteArray &requestPath)
{
    const qsizetype dot = requestPath.indexOf('.');
    const QByteArray extension = dot < 0 ? QByteArray() : requestPath.sliced(dot + 1).toLower();
    QByteArray type = "*/*";
    if (extension == "jpg" || extension == "jpeg")
        type = "image/jpeg";
    else if (extension == "gif")
        type = "image/gif";
    else if (extension == "htm" || extension == "html")
        type = "text/html";
    else if (extension == "zip")
        type = "application/zip";
    else if (extension == "mp3")
        type = "audio/mpeg";
    else if (extension == "m3u" || extension == "pls" || extension == "xpl")
        type = "audio/x-mpegurl";
    FUZZ_CHECK(Request::contentTypeLine(requestPath) == "Content-Type: " + type);
}

// Collects the arrivals as a slot does, scanning only what is new each time;
// the request once the pattern matches, nothing when it never does.
std::optional<QByteArray> collectedRequest(FuzzedDataProvider &input)
{
    QByteArray received;
    for (int arrival = 0; arrival < MaximumArrivals && input.remaining_bytes() > 0; ++arrival) {
        const qsizetype checked = received.size();
        const bool last = arrival + 1 == MaximumArrivals;
        received += last ? Fuzz::remainingBytes(input) : Fuzz::randomLengthBytes(input, MaximumArrival);
        const bool matched = Request::matchesPattern(received, checked);
        FUZZ_CHECK(matched == patternModel(received));
        if (matched)
            return received;
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray whole(reinterpret_cast<const char *>(data), qsizetype(size));
    // The bytes as a path of their own reach every rule without a request around them.
    checkServedPath(whole);
    checkContentType(whole);

    FuzzedDataProvider input(data, size);
    if (const std::optional<QByteArray> request = collectedRequest(input)) {
        const QByteArray path = Request::pathOf(*request);
        FUZZ_CHECK(path == pathModel(*request));
        checkServedPath(path);
        checkContentType(path);
    }
    return 0;
}
