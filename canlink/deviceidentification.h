// Classifies the device behind a ping answer by its type bytes and names it for the status line.
#pragma once

#include <QByteArrayView>
#include <QString>

struct DeviceIdentification
{
    bool identified = false; // a known device; Device_ID takes deviceId only then
    QString label; // the Label5 caption
    QString deviceType; // becomes Device_Type, identified or not
    QString deviceId; // identifier text of the answer
};

// Identifier text: the hexadecimal texts of frame bytes 6..9 joined (empty for a short frame).
QString deviceIdText(QByteArrayView frame);
// Type text: the last 4 characters of "00" + hex(byte 12) + hex(byte 13) (empty for a short frame).
QString deviceTypeText(QByteArrayView frame);

// `frame` is a 13-byte ping answer; a shorter one is not identified.
DeviceIdentification identifyDevice(QByteArrayView frame);
