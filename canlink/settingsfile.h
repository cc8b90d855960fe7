// The bytes of the settings file RIri.ini and the rules by which they are read.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

struct LinkSettings
{
    std::optional<QString> portText;
    std::optional<double> speed;
};

// Every marker group ("riri…" then "PortNr=" then "BaudRate="); later groups win.
LinkSettings parseSettings(const QByteArray &bytes);
// Exactly three CR LF lines: riri, PortNr=<port>, BaudRate=<speed>.
QByteArray settingsBytes(const QString &portText, const QString &speedText);
