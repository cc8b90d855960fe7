// The transfer progress line and the line shown when it cannot be built.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace Progress {

// "Transfering: /a.zip - 5150 of 10000 bytes sent (51,50% Done)." in the user's
// locale; nothing when the file's length gives the percentage no value.
std::optional<QString> line(const QByteArray &requestPath, qint64 sentBytes, qint64 fileLength);

// "<when>: (<index>) Error <number> - <description>".
QString errorLine(const QString &when, int index, int number, const QString &description);

} // namespace Progress
