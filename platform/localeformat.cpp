// Number and date texts over QLocale().
#include "localeformat.h"

#include <QDateTime>
#include <QLocale>

namespace LocaleFormat {

namespace {
constexpr int MinimumIntegerDigits = 2;
constexpr int Decimals = 2;
constexpr char16_t LastLatin1 = 0xFF;
constexpr char NoBreakSpace = char(0xA0);
} // namespace

QString groupedInteger(qint64 value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(value);
}

QString twoDecimals(double value)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = locale.toString(value, 'f', Decimals);
    const qsizetype point = text.indexOf(locale.decimalPoint());
    const qsizetype signLength = text.startsWith(locale.negativeSign()) ? locale.negativeSign().size() : 0;
    const qsizetype digits = (point < 0 ? text.size() : point) - signLength;
    for (qsizetype i = digits; i < MinimumIntegerDigits; ++i)
        text.insert(signLength, locale.zeroDigit());
    return text;
}

QString nowText()
{
    return QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
}

QByteArray toSingleByte(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() <= LastLatin1)
            bytes.append(char(c.unicode()));
        else if (c.digitValue() >= 0)
            bytes.append(char('0' + c.digitValue()));
        else if (c.isSpace())
            bytes.append(NoBreakSpace);
        else
            bytes.append('?');
    }
    return bytes;
}

} // namespace LocaleFormat
