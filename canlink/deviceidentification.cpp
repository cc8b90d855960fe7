// The device-type table applied to a ping answer.
#include "deviceidentification.h"

#include "canmessage.h"

#include <array>

using namespace Qt::StringLiterals;

namespace {

// 0-based frame offsets: data bytes 1..4 hold the identifier, 7..8 the type.
constexpr qsizetype IdentifierOffset = DataOffset;
constexpr qsizetype IdentifierSize = 4;
constexpr qsizetype TypeOffset = DataOffset + 6;
constexpr qsizetype TypeTextSize = 4;

// A row matches the type texts from `first` to `last`, both included, compared
// character by character as text (so "003A" lies inside "0030".."003F").
struct DeviceRow
{
    QStringView first;
    QStringView last;
    QStringView labelPrefix;
};

// Tested in this order; the first matching row decides.
constexpr std::array<DeviceRow, 3> DeviceTable = {{
    {u"0010", u"0010", u"Gleisbox-ID: "},
    {u"0030", u"003F", u"MS2-ID: "},
    {u"FFFF", u"FFFF", u"CS2-ID: "},
}};

quint8 byteAt(QByteArrayView frame, qsizetype offset)
{
    return static_cast<quint8>(frame[offset]);
}

const DeviceRow *rowForType(QStringView type)
{
    for (const DeviceRow &row : DeviceTable) {
        if (type.compare(row.first) >= 0 && type.compare(row.last) <= 0)
            return &row;
    }
    return nullptr;
}

} // namespace

QString deviceIdText(QByteArrayView frame)
{
    if (frame.size() < FrameSize)
        return {};
    QString text;
    for (qsizetype i = 0; i < IdentifierSize; ++i)
        text += hexText(byteAt(frame, IdentifierOffset + i));
    return text;
}

QString deviceTypeText(QByteArrayView frame)
{
    if (frame.size() < FrameSize)
        return {};
    const QString text
        = u"00"_s + hexText(byteAt(frame, TypeOffset)) + hexText(byteAt(frame, TypeOffset + 1));
    return text.right(TypeTextSize);
}

DeviceIdentification identifyDevice(QByteArrayView frame)
{
    DeviceIdentification result;
    result.label = u"GFP nicht identifiziert"_s;
    if (frame.size() < FrameSize)
        return result;
    result.deviceId = deviceIdText(frame);
    result.deviceType = deviceTypeText(frame);
    if (const DeviceRow *row = rowForType(result.deviceType)) {
        result.identified = true;
        result.label = row->labelPrefix.toString() + result.deviceId;
    }
    return result;
}
