// Cuts a byte stream into whole 13-byte frames, keeping an incomplete tail for the next arrival.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

class FrameStream
{
public:
    // Every frame completed by `bytes`, in arrival order; a shorter rest is kept.
    QList<QByteArray> append(QByteArrayView bytes);
    // Forgets the kept rest (its sender has gone away).
    void clear();
    // Number of bytes kept for the next frame (always less than 13).
    qsizetype pendingSize() const { return m_tail.size(); }

private:
    QByteArray m_tail;
};
