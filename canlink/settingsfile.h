// The bytes of the settings file RIri.ini, the rules by which they are read, and the texts when it cannot be
// saved.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The real file is three short lines; anything longer is not a settings file.
inline constexpr qint64 MaximumSettingsFileBytes = 64 * 1024;

struct LinkSettings
{
    std::optional<QString> portText;
    std::optional<double> speed;
};

// Every marker group ("riri…" then "PortNr=" then "BaudRate="); later groups win.
LinkSettings parseSettings(const QByteArray &bytes);
// Exactly three CR LF lines: riri, PortNr=<port>, BaudRate=<speed>.
QByteArray settingsBytes(const QString &portText, const QString &speedText);
// The German status text for a save that failed with `error` (an errno).
QString saveFailureText(int error);
