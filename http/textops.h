// Cutting between marks and after a mark in single-byte text, case-sensitive.
#pragma once

#include <QByteArray>

// The text between the first `startMark` and the first `endMark` behind it;
// empty when a mark is missing.
QByteArray TextBetween(const QByteArray &text, const QByteArray &startMark, const QByteArray &endMark);

// Everything after the first `mark`; empty when it is missing.
QByteArray TextAfter(const QByteArray &text, const QByteArray &mark);
