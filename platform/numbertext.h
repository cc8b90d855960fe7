// Numbers read from and written to the texts of the inputs and the settings file.
#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// The leading number of a text (blanks before it are skipped); 0 when there is none.
double leadingNumber(QStringView text);
// Rounded to a whole number, halves to the even neighbour; nothing when out of range.
std::optional<int> roundToRange(double value, int lowest, int highest);
// A whole text that is a finite number (blanks around it allowed).
std::optional<double> numberFromText(QStringView text);
// A baud rate as the user writes it: a whole number above 0 in the user's
// locale ("9.600" in German, "9,600" in English), blanks around it allowed.
std::optional<qint32> baudRateFromText(QStringView text);
// Plain digits for whole numbers (9600), a point before any decimals.
QString numberToText(double value);
