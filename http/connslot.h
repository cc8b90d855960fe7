// The record of one connection slot: what it still has to send and how far it got.
#pragma once

#include "filesystem.h"

#include <QByteArray>

#include <memory>

struct ConnSlot
{
    // 0: nothing left but what the socket holds; -1: a listing page, still being built while
    // ResponseSize is 0, then pending in PageText; 1 or more: File's number.
    qint16 FileNr = 0;
    // Header and body together; 64-bit so files of 2 GiB and more are served.
    qint64 ResponseSize = 0;
    qint64 SentBytes = 0;
    QByteArray RequestPath;
    QByteArray PageText;
    // How much of PageText has gone to the socket. The page is read by this offset
    // and never cut, so slots that hold the same page keep sharing its bytes.
    qsizetype PageOffset = 0;

    // Bytes collected until they form a request, so a request split across arrivals is answered.
    QByteArray Received;
    // Set once the request is taken; later arrivals on the connection are ignored.
    bool RequestTaken = false;
    // A connection is held in this slot: it counts against the server's cap.
    bool Live = false;
    // On the server's clock, in milliseconds: when the connection was accepted, and when the
    // client last sent something (before the request) or took something (after it).
    qint64 AcceptedAt = 0;
    qint64 LastActivity = 0;
    // Counts the connections accepted into this slot, so a handler that let
    // events run can tell whether the slot it read before was reused meanwhile.
    quint64 Connection = 0;
    std::unique_ptr<FileSystem::RawFile> File;
};
