// Replacing, cutting between marks and cutting after a mark in single-byte text.
#pragma once

#include <QByteArray>

// Comparison modes of the text operations.
enum TextCompare : qint32 { ExactCompare = 0, CaseInsensitiveCompare = 1 };

// Replaces hits of `find` left to right, never searching a replacement again.
// Positions are 1-based; a start below 1 counts as 1 and the characters before
// the start are dropped from the result. `count` limits the replacements; a
// count the number of hits never reaches (such as -1) means all of them.
// Throws std::invalid_argument for an empty `find`.
QByteArray ReplaceText(const QByteArray &expression, const QByteArray &find, const QByteArray &replacement,
                       qint32 start = 1, qint32 count = -1, qint32 compare = ExactCompare);

// The text between the first `startMark` and the first `endMark` behind it; when
// a mark is missing, the empty text if `emptyWhenMissing` is set, else the whole text.
QByteArray TextBetween(const QByteArray &text, const QByteArray &startMark, const QByteArray &endMark,
                       qint32 compare, quint8 emptyWhenMissing);

// Everything after the first `mark`; when it is missing, the empty text if
// `emptyWhenMissing` is set, else the whole text.
QByteArray TextAfter(const QByteArray &text, const QByteArray &mark, qint32 compare, quint8 emptyWhenMissing);
