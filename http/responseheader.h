// The three response headers, each line ended by a single line feed.
#pragma once

#include <QByteArray>

namespace ResponseHeader {

QByteArray notFound(const QByteArray &serverName);
QByteArray folder(const QByteArray &serverName, qint64 pageLength);
QByteArray file(const QByteArray &serverName, const QByteArray &contentTypeLine, qint64 fileLength);

} // namespace ResponseHeader
