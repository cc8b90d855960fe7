// Fuzzes the settings reader on any bytes a settings file may hold, and reads back files the program writes.
#include "fuzzcheck.h"
#include "numbertext.h"
#include "settingsfile.h"

#include <QString>

#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr size_t MaximumPortText = 40;
constexpr size_t MaximumSpeedText = 40;
constexpr double LargestSpeedWrittenExactly = 1.79769313486231e308;
constexpr int LowestPort = std::numeric_limits<qint16>::min();
constexpr int HighestPort = std::numeric_limits<qint16>::max();

void checkRead(const QByteArray &bytes)
{
    const LinkSettings settings = parseSettings(bytes);
    if (settings.portText) {
        const QString &port = *settings.portText;
        FUZZ_CHECK(!port.contains(u'\r') && !port.contains(u'\n'));
        FUZZ_CHECK(!port.startsWith(u' ') && !port.endsWith(u' '));
        // The port number the link opens is read from the front of this text.
        const std::optional<int> number = roundToRange(leadingNumber(port), LowestPort, HighestPort);
        FUZZ_CHECK(!number || (*number >= LowestPort && *number <= HighestPort));
    }
    FUZZ_CHECK(!settings.speed || std::isfinite(*settings.speed));
}

// A port text that fits a settings line: no line break, and none of the blanks the reader trims.
QString portTextFrom(FuzzedDataProvider &input)
{
    QByteArray port = Fuzz::randomLengthBytes(input, MaximumPortText);
    port.removeIf([](char c) { return c == '\r' || c == '\n'; });
    while (port.startsWith(' '))
        port.remove(0, 1);
    while (port.endsWith(' '))
        port.chop(1);
    return QString::fromLatin1(port);
}

// A speed the link object can hold: what a typed text gives, or any finite number.
double speedFrom(FuzzedDataProvider &input)
{
    const QString typed = QString::fromLatin1(Fuzz::randomLengthBytes(input, MaximumSpeedText));
    if (const std::optional<double> speed = numberFromText(typed))
        return *speed;
    const auto bits = input.ConsumeIntegral<quint64>();
    const double any = std::bit_cast<double>(bits);
    return std::isfinite(any) ? any : 0.0;
}

void checkWrittenReadsBack(FuzzedDataProvider &input)
{
    const QString port = portTextFrom(input);
    const double speed = speedFrom(input);
    // Written with 15 digits, the few numbers above this one round up to a text
    // beyond the largest number, which reads back as no number. No serial line
    // runs at such a speed, so the reader keeping its value then is accepted.
    if (std::abs(speed) > LargestSpeedWrittenExactly)
        return;
    const QString speedText = numberToText(speed);
    const QByteArray written = settingsBytes(port, speedText);
    const LinkSettings settings = parseSettings(written);
    FUZZ_CHECK(settings.portText == port);
    FUZZ_CHECK(settings.speed && numberToText(*settings.speed) == speedText);
    // Saved again, the values give the same bytes.
    FUZZ_CHECK(settingsBytes(*settings.portText, numberToText(*settings.speed)) == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkRead(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    FuzzedDataProvider input(data, size);
    checkWrittenReadsBack(input);
    return 0;
}
