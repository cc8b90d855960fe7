// Number and date texts in the user's locale, and the single-byte forms a page can carry.
#pragma once

#include <QByteArray>
#include <QString>

class QDateTime;
class QLocale;

namespace LocaleFormat {

// ASCII digits in groups of three joined by `separator`, at least one digit:
// the pattern "###,###,###,##0" whatever grouping the locale itself prefers.
QByteArray groupedThousands(qint64 value, char separator);

// A locale's thousands separator as one byte a page can carry: Latin-1 as it
// is, an apostrophe for the typographic ones (de_CH), a no-break space (0xA0)
// for the narrow spaces (fr_FR) and a comma for any other mark (ar_EG).
char singleByteSeparator(const QString &separator);

// The user's locale's thousands separator as singleByteSeparator gives it.
char groupSeparatorByte();

// At least two digits before the locale's decimal separator and exactly two after it ("05,50").
QString twoDecimals(double value);

// Date and time as the locale writes them in full by default: its numeric date
// with a four-digit year and its time with seconds, without a time zone
// ("07.12.2026 14:45:33" in German, "12/7/2026 2:45:33 PM" in American English).
QString dateTimeText(const QDateTime &when, const QLocale &locale);

// The current date and time as dateTimeText gives it in the user's locale.
QString nowText();

} // namespace LocaleFormat
