// Number and date texts in the user's locale, and their single-byte form for the wire.
#pragma once

#include <QByteArray>
#include <QString>

namespace LocaleFormat {

// Digits grouped in threes with the locale's separator, at least one digit ("3.418" in German).
QString groupedInteger(qint64 value);

// At least two digits before the locale's decimal separator and exactly two after it ("05,50").
QString twoDecimals(double value);

// Current date and time in the locale's short format.
QString nowText();

// One byte per character: Latin-1 where it fits; digits of other scripts become
// ASCII digits and other spaces a no-break space, so numbers stay numbers on the wire.
QByteArray toSingleByte(const QString &text);

} // namespace LocaleFormat
