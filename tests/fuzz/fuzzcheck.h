// What the fuzz targets share: a broken property stops the run, inputs read as bytes, percent decoding.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// A broken property is a crash to libFuzzer: it saves the input and the run fails.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "Property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

namespace Fuzz {

inline QByteArray bytes(const std::string &text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

inline QByteArray randomLengthBytes(FuzzedDataProvider &input, size_t maximum)
{
    return bytes(input.ConsumeRandomLengthString(maximum));
}

inline QByteArray remainingBytes(FuzzedDataProvider &input)
{
    return bytes(input.ConsumeRemainingBytesAsString());
}

inline constexpr int HexBase = 16;

// 0..15, or -1 for a character that is no hexadecimal digit.
inline int hexDigitValue(char c)
{
    static constexpr QByteArrayView Digits("0123456789abcdef");
    const char lower = c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c;
    return int(Digits.indexOf(lower));
}

inline bool isHexDigit(char c)
{
    return hexDigitValue(c) >= 0;
}

// What a client means by a percent-encoded text: "%" and two hexadecimal digits
// stand for that byte, once; anything else stands for itself.
inline QByteArray percentDecoded(QByteArrayView text)
{
    QByteArray decoded;
    qsizetype at = 0;
    while (at < text.size()) {
        const bool escape
            = text[at] == '%' && at + 2 < text.size() && isHexDigit(text[at + 1]) && isHexDigit(text[at + 2]);
        if (escape) {
            decoded += char(hexDigitValue(text[at + 1]) * HexBase + hexDigitValue(text[at + 2]));
            at += 3;
        } else {
            decoded += text[at];
            at += 1;
        }
    }
    return decoded;
}

} // namespace Fuzz
