// Fuzzes the frame notations: bit texts, decoding against raw bits, building and decoding back, device ids.
#include "canmessage.h"
#include "deviceidentification.h"
#include "fuzzcheck.h"

#include <QString>

#include <array>
#include <cstdio>

namespace {

constexpr int BitsPerByte = 8;
constexpr quint32 CmdShift = 17;
constexpr quint32 RespShift = 16;
constexpr quint32 PrioShift = 25;
constexpr quint32 ByteMask = 0xFF;
constexpr quint32 PrioMask = 0x0F;
constexpr quint32 HashMask = 0xFFFF;
constexpr qsizetype IdentifierDataOffset = DataOffset;
constexpr qsizetype IdentifierDataSize = 4;
constexpr qsizetype DeviceTypeTextSize = 4;
constexpr size_t MaximumBitText = 80;
// A few more data bytes than a frame carries.
constexpr size_t MaximumDataGiven = DataSize + 2;

quint32 identOf(QByteArrayView frame)
{
    quint32 ident = 0;
    for (qsizetype i = 0; i < IdentSize; ++i)
        ident = (ident << BitsPerByte) | uchar(frame[IdentOffset + i]);
    return ident;
}

// `width` characters "0"/"1" of the low bits of `value`, most significant first.
QString bitsModel(quint64 value, int width)
{
    QString bits;
    for (int bit = width - 1; bit >= 0; --bit)
        bits += (value >> bit) & 1 ? u'1' : u'0';
    return bits;
}

QString hexModel(quint64 value)
{
    std::array<char, 2 * sizeof(quint64) + 1> text {};
    std::snprintf(text.data(), text.size(), "%llX", static_cast<unsigned long long>(value));
    return QString::fromLatin1(text.data());
}

// Byte texts take 256 values only, so they are checked all at once, before the first input.
void checkEveryByteText()
{
    for (int value = 0; value <= int(ByteMask); ++value) {
        const QString bits = Byte_To_Bin(value);
        FUZZ_CHECK(bits == bitsModel(value, BitsPerByte));
        FUZZ_CHECK(Bin_To_Value(bits) == quint64(value));
        for (int width = 1; width <= BitsPerByte; ++width)
            FUZZ_CHECK(fieldBitText(value, width) == bitsModel(value, width));
        FUZZ_CHECK(hexText(value) == hexModel(value));
    }
}

// Any text: each "1" adds its power of two, positions beyond 64 bits wrap away.
void checkBitValue(const QString &text)
{
    quint64 model = 0;
    for (const QChar c : text)
        model = (model << 1) | (c == u'1' ? 1 : 0);
    FUZZ_CHECK(Bin_To_Value(text) == model);
    FUZZ_CHECK(identFromBuildText(text).size() == IdentSize);
}

void checkDecoded(const QByteArray &frame)
{
    const std::optional<DecodedFrame> decoded = decodeFrame(frame);
    FUZZ_CHECK(decoded.has_value() == (frame.size() >= FrameSize));
    if (!decoded)
        return;
    const quint32 ident = identOf(frame);
    FUZZ_CHECK(identBitText(frame) == bitsModel(ident, int(IdentBitTextSize)));
    FUZZ_CHECK(quint32(decoded->Cmd) == ((ident >> CmdShift) & ByteMask));
    FUZZ_CHECK(decoded->Resp == ((ident >> RespShift) & 1 ? RespAnswer : RespRequest));
    FUZZ_CHECK(decoded->Hash == bitsModel(ident & HashMask, HashWidth));
    const bool ping = ((ident >> CmdShift) & ByteMask) == quint32(PingCommand);
    FUZZ_CHECK(isPingFrame(frame) == ping);
}

// Fields in, frame out, the same fields back.
void checkBuilt(FuzzedDataProvider &input)
{
    const int prio = input.ConsumeIntegralInRange<int>(0, int(PrioMask));
    const int cmd = input.ConsumeIntegral<uint8_t>();
    const QChar resp = input.ConsumeBool() ? RespAnswer : RespRequest;
    const quint16 hash = input.ConsumeIntegral<uint16_t>();
    const auto length = input.ConsumeIntegral<uint8_t>();
    const QByteArray data = Fuzz::randomLengthBytes(input, MaximumDataGiven);

    const QString buildText = identBuildText(prio, cmd, resp, hashBitText(hash));
    const QByteArray frame = buildFrame(buildText, length, data);
    FUZZ_CHECK(frame.size() == FrameSize);
    const quint32 ident = identOf(frame);
    FUZZ_CHECK(((ident >> PrioShift) & PrioMask) == quint32(prio));
    const std::optional<DecodedFrame> decoded = decodeFrame(frame);
    FUZZ_CHECK(decoded && decoded->Cmd == cmd && decoded->Resp == resp);
    FUZZ_CHECK(decoded->Hash == hashBitText(hash) && Bin_To_Value(decoded->Hash) == hash);
    FUZZ_CHECK(uchar(frame[LengthOffset]) == length);
    // All eight data bytes travel, the missing ones as 0 and any beyond eight dropped.
    QByteArray expectedData = data.first(qMin(data.size(), DataSize));
    expectedData.append(DataSize - expectedData.size(), '\0');
    FUZZ_CHECK(frame.sliced(DataOffset) == expectedData);
}

void checkIdentified(const QByteArray &frame)
{
    const DeviceIdentification device = identifyDevice(frame);
    FUZZ_CHECK(!device.label.isEmpty());
    if (frame.size() < FrameSize) {
        FUZZ_CHECK(!device.identified && deviceIdText(frame).isEmpty());
        return;
    }
    QString id;
    for (qsizetype i = 0; i < IdentifierDataSize; ++i)
        id += hexModel(uchar(frame[IdentifierDataOffset + i]));
    FUZZ_CHECK(deviceIdText(frame) == id && device.deviceId == id);
    FUZZ_CHECK(device.deviceType.size() == DeviceTypeTextSize);
    FUZZ_CHECK(!device.identified || device.label.endsWith(id));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    checkEveryByteText();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkBitValue(QString::fromLatin1(bytes.first(qMin<qsizetype>(bytes.size(), MaximumBitText))));
    checkDecoded(bytes);
    checkIdentified(bytes);
    FuzzedDataProvider input(data, size);
    const auto value = input.ConsumeIntegral<quint64>();
    FUZZ_CHECK(hexText(value) == hexModel(value));
    checkBuilt(input);
    return 0;
}
