// The three response headers.
#include "responseheader.h"

namespace ResponseHeader {

namespace {
constexpr char LineEnd = '\n';

QByteArray found(const QByteArray &serverName, const QByteArray &contentTypeLine, qint64 length)
{
    return "HTTP/1.0 200 OK" + QByteArray(1, LineEnd) + "Server: " + serverName + LineEnd + contentTypeLine
        + LineEnd + "Content-Length: " + QByteArray::number(length) + LineEnd + LineEnd;
}
} // namespace

QByteArray notFound(const QByteArray &serverName)
{
    return "HTTP/1.0 404 Not Found" + QByteArray(1, LineEnd) + "Server: " + serverName + LineEnd + LineEnd;
}

QByteArray folder(const QByteArray &serverName, qint64 pageLength)
{
    return found(serverName, "Content-Type: text/html", pageLength);
}

QByteArray file(const QByteArray &serverName, const QByteArray &contentTypeLine, qint64 fileLength)
{
    return found(serverName, contentTypeLine, fileLength);
}

} // namespace ResponseHeader
