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
    // Starts a new stream: nothing kept, nothing to skip.
    void clear();
    // `count` bytes of the stream were dropped unseen; the frame they end inside is dropped too,
    // so that the frames after them are still cut where their sender cut them.
    void discard(qint64 count);
    // Number of bytes kept for the next frame (always less than 13).
    qsizetype pendingSize() const { return m_tail.size(); }

private:
    QByteArray m_tail;
    // Bytes still to come of a frame that is dropped.
    qsizetype m_skip = 0;
};
