// The text operations over QByteArray, one byte per character.
#include "textops.h"

QByteArray TextBetween(const QByteArray &text, const QByteArray &startMark, const QByteArray &endMark)
{
    const qsizetype startHit = text.indexOf(startMark);
    if (startHit < 0)
        return {};
    const qsizetype inner = startHit + startMark.size();
    const qsizetype endHit = text.indexOf(endMark, inner);
    return endHit < 0 ? QByteArray() : text.mid(inner, endHit - inner);
}

QByteArray TextAfter(const QByteArray &text, const QByteArray &mark)
{
    const qsizetype hit = text.indexOf(mark);
    return hit < 0 ? QByteArray() : text.mid(hit + mark.size());
}
