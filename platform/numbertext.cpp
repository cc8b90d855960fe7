// Number texts: leading numbers, rounding into a range, plain decimal output.
#include "numbertext.h"

#include <QLocale>
#include <cmath>

double leadingNumber(QStringView text)
{
    qsizetype at = 0;
    while (at < text.size() && (text[at] == u' ' || text[at] == u'\t'))
        ++at;
    const qsizetype start = at;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-'))
        ++at;
    while (at < text.size() && text[at].isDigit() && text[at].unicode() < 128)
        ++at;
    if (at < text.size() && text[at] == u'.') {
        ++at;
        while (at < text.size() && text[at].isDigit() && text[at].unicode() < 128)
            ++at;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(text.mid(start, at - start), &ok);
    return ok ? value : 0.0;
}

std::optional<int> roundToRange(double value, int lowest, int highest)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const double rounded = std::nearbyint(value); // the default mode rounds halves to even
    if (rounded < lowest || rounded > highest)
        return std::nullopt;
    return int(rounded);
}

std::optional<double> numberFromText(QStringView text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<qint32> baudRateFromText(QStringView text)
{
    bool ok = false;
    const qint32 value = QLocale().toInt(text.trimmed(), &ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

QString numberToText(double value)
{
    return QLocale::c().toString(value, 'g', 15).remove(QLocale::c().groupSeparator());
}
