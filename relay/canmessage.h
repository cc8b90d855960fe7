// The 13-byte CAN frame's layout and the text notations that look inside it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

// Frame layout: Ident (4 bytes, most significant first), Length, 8 data bytes.
inline constexpr qsizetype FrameSize = 13;
inline constexpr qsizetype IdentOffset = 0;
inline constexpr qsizetype IdentSize = 4;
inline constexpr qsizetype LengthOffset = 4;
inline constexpr qsizetype DataOffset = 5;
inline constexpr qsizetype DataSize = 8;

// Widths of the identifier fields in the identifier build text.
inline constexpr int PrioWidth = 4;
inline constexpr int CmdWidth = 8;
inline constexpr int HashWidth = 16;
inline constexpr int ByteWidth = 8;
inline constexpr qsizetype IdentBitTextSize = 32;

// The only command the gateway looks into.
inline constexpr int PingCommand = 0x18;
// A ping answer carries the device identifier and type in all eight data bytes.
inline constexpr int PingAnswerLength = 8;

// The gateway's own ping: Prio 0, Cmd 0x18, Resp 0, Hash 0x8B0A, no data.
inline constexpr int GatewayPingPrio = 0;
inline constexpr quint16 GatewayPingHash = 0x8B0A;
// The Resp characters of the identifier texts.
inline constexpr QChar RespRequest = u'0';
inline constexpr QChar RespAnswer = u'1';

// What the relay handlers read from a frame's identifier.
struct DecodedFrame
{
    int Cmd = 0;
    QChar Resp;
    QString Hash; // 16 characters
};

// 8 characters, most significant bit first; defined for 0..255.
QString Byte_To_Bin(int value);
// Every "1" adds its power of two; any other character only takes a position.
quint64 Bin_To_Value(QStringView bits);

// The last `width` characters of `width` zeros followed by Byte_To_Bin(value).
QString fieldBitText(int value, int width);
// A 16-bit hash as 16 characters, high byte first.
QString hashBitText(quint16 hash);
// Upper-case hexadecimal digits without leading zeros.
QString hexText(quint64 value);

// Field bit texts of width 8 of Ident bytes 0..3 of the frame (32 characters).
QString identBitText(QByteArrayView frame);
// Prio (4) + Cmd (8) + Resp (1) + Hash (16): the 29-character identifier build text.
QString identBuildText(int prio, int cmd, QChar resp, QStringView hash);
// The four Ident bytes taken from an identifier build text, from its end.
QByteArray identFromBuildText(QStringView buildText);

// Decodes the first 13 bytes; nothing when fewer are given.
std::optional<DecodedFrame> decodeFrame(QByteArrayView frame);
// Ident bytes from the build text, then Length, then eight data bytes (missing ones 0).
QByteArray buildFrame(QStringView identBuildText, quint8 length, QByteArrayView data);

// True when the first 13 bytes carry command 0x18, request or answer alike.
bool isPingFrame(QByteArrayView frame);
