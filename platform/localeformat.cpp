// Number and date texts over QLocale().
#include "localeformat.h"

#include <QDateTime>
#include <QLocale>

using namespace Qt::Literals::StringLiterals;

namespace LocaleFormat {

namespace {

constexpr int MinimumIntegerDigits = 2;
constexpr int Decimals = 2;
constexpr int GroupSize = 3;
constexpr int DecimalBase = 10;
constexpr qsizetype TwoDigitYear = 2;
constexpr qsizetype FourDigitYear = 4;
constexpr char16_t LastLatin1 = 0xFF;
constexpr char NoBreakSpace = char(0xA0);
constexpr char16_t LeftSingleQuotationMark = 0x2018;
constexpr char16_t RightSingleQuotationMark = 0x2019;
constexpr char16_t ModifierLetterApostrophe = 0x02BC;

// Calls `visit(index, quoted)` for each character of a date or time format;
// text between single quotes is literal there.
template<typename Visit> void forEachFormatCharacter(const QString &format, Visit visit)
{
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'\'')
            quoted = !quoted;
        visit(i, quoted || format[i] == u'\'');
    }
}

// The locale's short date ("dd.MM.yy") with a four-digit year, as the full default shows it.
QString dateWithFullYear(const QString &format)
{
    QString result;
    qsizetype run = 0;
    const auto endRun = [&] {
        result += QString(run == TwoDigitYear ? FourDigitYear : run, u'y');
        run = 0;
    };
    forEachFormatCharacter(format, [&](qsizetype i, bool literal) {
        if (!literal && format[i] == u'y') {
            ++run;
            return;
        }
        endRun();
        result += format[i];
    });
    endRun();
    return result;
}

// The locale's long time ("HH:mm:ss t") without the time zone.
QString timeWithoutZone(const QString &format)
{
    QString result;
    forEachFormatCharacter(format, [&](qsizetype i, bool literal) {
        if (literal || format[i] != u't')
            result += format[i];
    });
    return result.replace(u"()"_s, QString()).simplified();
}

} // namespace

QByteArray groupedThousands(qint64 value, char separator)
{
    // Digits of the magnitude, so the lowest value has a magnitude too.
    QByteArray digits;
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        digits.prepend(char('0' + magnitude % DecimalBase));
        magnitude /= DecimalBase;
    } while (magnitude != 0);
    QByteArray grouped = value < 0 ? QByteArrayLiteral("-") : QByteArray();
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % GroupSize == 0)
            grouped += separator;
        grouped += digits[i];
    }
    return grouped;
}

char singleByteSeparator(const QString &separator)
{
    if (separator.size() != 1)
        return ',';
    const QChar c = separator.front();
    if (c == LeftSingleQuotationMark || c == RightSingleQuotationMark || c == ModifierLetterApostrophe)
        return '\'';
    if (c.isSpace())
        return c.unicode() == u' ' ? ' ' : NoBreakSpace;
    if (c.unicode() <= LastLatin1 && c.isPrint())
        return char(c.unicode());
    return ',';
}

char groupSeparatorByte()
{
    return singleByteSeparator(QLocale().groupSeparator());
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

QString dateTimeText(const QDateTime &when, const QLocale &locale)
{
    const QString format = dateWithFullYear(locale.dateFormat(QLocale::ShortFormat)) + u' '
        + timeWithoutZone(locale.timeFormat(QLocale::LongFormat));
    return locale.toString(when, format);
}

QString nowText()
{
    return dateTimeText(QDateTime::currentDateTime(), QLocale());
}

} // namespace LocaleFormat
