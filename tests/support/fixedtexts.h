// Bytes the program writes exactly so, as the tests expect them: the settings file and HTTP answers.
#pragma once

#include <QByteArray>

// RIri.ini as "Einstellungen übernehmen" writes it.
inline QByteArray settingsText(int portNumber, qint32 baudRate)
{
    return "riri\r\nPortNr=" + QByteArray::number(portNumber) + "\r\nBaudRate=" + QByteArray::number(baudRate)
        + "\r\n";
}

inline const QByteArray ServerName = "Lorvane HTTP Server Version 1.00";
inline const QByteArray NotFoundAnswer = "HTTP/1.0 404 Not Found\nServer: " + ServerName + "\n\n";

// The header of a file or listing page of `length` bytes; `type` as in "Content-Type: <type>".
inline QByteArray answerHeader(const QByteArray &type, qint64 length)
{
    return "HTTP/1.0 200 OK\nServer: " + ServerName + "\nContent-Type: " + type
        + "\nContent-Length: " + QByteArray::number(length) + "\n\n";
}
