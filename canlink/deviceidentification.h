// Classifies the device behind a ping answer by its type bytes and names it for the status line.
#pragma once

#include <QByteArrayView>
#include <QString>

// Answer codes the identification yields (the ping wait ends on either).
inline constexpr int DeviceIdentified = 1;
inline constexpr int DeviceNotIdentified = 2;

struct DeviceIdentification
{
    int code = DeviceNotIdentified;
    QString label; // the Label5 caption
    QString deviceType; // becomes Device_Type, identified or not
    QString deviceId; // identifier text of the answer
    bool setsDeviceId = false; // Device_ID takes deviceId only for a known device
};

// Identifier text: the hexadecimal texts of frame bytes 6..9 joined (empty for a short frame).
QString deviceIdText(QByteArrayView frame);
// Type text: the last 4 characters of "00" + hex(byte 12) + hex(byte 13) (empty for a short frame).
QString deviceTypeText(QByteArrayView frame);

// `frame` is a 13-byte ping answer; a shorter one is not identified.
DeviceIdentification identifyDevice(QByteArrayView frame);
