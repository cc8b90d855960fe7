// The frame notations: bit texts, hexadecimal texts, decoding and building of frames.
#include "canmessage.h"

#include <QChar>

namespace {

// Byte_To_Bin tests bits 7..1 and appends what is left as a decimal digit.
constexpr int HighestBit = 7;
constexpr int LowByteMask = 0xFF;
constexpr int BitsInResult = 64;
constexpr int ByteValues = 256;

// 0-based positions in the identifier bit text (32 characters).
constexpr qsizetype CmdBitsPos = 7;
constexpr qsizetype RespBitPos = 15;
constexpr qsizetype HashBitsPos = 16;

// 0-based positions of the Ident bytes in the identifier build text (29 characters).
constexpr qsizetype IdentByte0Pos = 0;
constexpr qsizetype IdentByte0Width = 5;
constexpr qsizetype IdentByte1Pos = 5;
constexpr qsizetype IdentByte2Pos = 13;
constexpr qsizetype IdentByte3Pos = 21;

quint8 byteAt(QByteArrayView bytes, qsizetype index)
{
    return static_cast<quint8>(bytes[index]);
}

quint8 bitsToByte(QStringView buildText, qsizetype pos, qsizetype width)
{
    return static_cast<quint8>(Bin_To_Value(buildText.mid(pos, width)));
}

} // namespace

QString Byte_To_Bin(int value)
{
    QString result;
    for (int n = HighestBit; n >= 1; --n) {
        const int power = 1 << n;
        if (value / power == 1) {
            result += u'1';
            value -= power;
        } else {
            result += u'0';
        }
    }
    return result + QString::number(value);
}

quint64 Bin_To_Value(QStringView bits)
{
    quint64 sum = 0;
    const qsizetype length = bits.size();
    for (qsizetype i = length; i >= 1; --i) {
        const qsizetype exponent = length - i;
        // Positions worth 2^64 or more cannot be held; callers pass at most 32.
        if (bits[i - 1] == u'1' && exponent < BitsInResult)
            sum += quint64(1) << exponent;
    }
    return sum;
}

QString fieldBitText(int value, int width)
{
    return (QString(width, u'0') + Byte_To_Bin(value)).right(width);
}

QString hashBitText(quint16 hash)
{
    return fieldBitText(hash >> ByteWidth, ByteWidth) + fieldBitText(hash & LowByteMask, ByteWidth);
}

QString hexText(quint64 value)
{
    return QString::number(value, 16).toUpper();
}

QString identBitText(QByteArrayView frame)
{
    // The bit texts of every byte value, worked out once: the echo decodes frames by the hundred
    // thousand a second.
    static const std::array<QString, ByteValues> byteTexts = [] {
        std::array<QString, ByteValues> texts;
        for (int value = 0; value < ByteValues; ++value)
            texts[value] = fieldBitText(value, ByteWidth);
        return texts;
    }();
    QString bits;
    bits.reserve(IdentBitTextSize);
    for (qsizetype i = 0; i < IdentSize && IdentOffset + i < frame.size(); ++i)
        bits += byteTexts[byteAt(frame, IdentOffset + i)];
    return bits;
}

QString identBuildText(int prio, int cmd, QChar resp, QStringView hash)
{
    QString text = fieldBitText(prio, PrioWidth) + fieldBitText(cmd, CmdWidth) + resp;
    text.append(hash);
    return text;
}

QByteArray identFromBuildText(QStringView buildText)
{
    QByteArray ident(IdentSize, '\0');
    ident[3] = static_cast<char>(bitsToByte(buildText, IdentByte3Pos, ByteWidth));
    ident[2] = static_cast<char>(bitsToByte(buildText, IdentByte2Pos, ByteWidth));
    ident[1] = static_cast<char>(bitsToByte(buildText, IdentByte1Pos, ByteWidth));
    ident[0] = static_cast<char>(bitsToByte(buildText, IdentByte0Pos, IdentByte0Width));
    return ident;
}

std::optional<DecodedFrame> decodeFrame(QByteArrayView frame)
{
    if (frame.size() < FrameSize)
        return std::nullopt;
    const QString identBits = identBitText(frame);
    const QStringView bits(identBits);
    DecodedFrame decoded;
    decoded.Cmd = static_cast<int>(Bin_To_Value(bits.mid(CmdBitsPos, CmdWidth)));
    decoded.Resp = bits[RespBitPos];
    decoded.Hash = bits.mid(HashBitsPos, HashWidth).toString();
    return decoded;
}

QByteArray buildFrame(QStringView identBuildText, quint8 length, QByteArrayView data)
{
    QByteArray frame = identFromBuildText(identBuildText);
    frame.reserve(FrameSize);
    frame.append(static_cast<char>(length));
    frame.append(data.first(qMin(data.size(), DataSize)));
    frame.append(FrameSize - frame.size(), '\0');
    return frame;
}

bool isPingFrame(QByteArrayView frame)
{
    const auto decoded = decodeFrame(frame);
    // Commands are compared in their hexadecimal text form.
    return decoded && hexText(decoded->Cmd) == hexText(PingCommand);
}
