// Cuts the serial line's bytes into frames, and puts a stream that is out of step back in step.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

class SerialFrameStream
{
public:
    // The whole frames that `bytes` completes, back to back; a started frame is kept. A Length
    // byte above 8 cannot come from the bus: the frame it seems to belong to starts elsewhere,
    // so its first byte is skipped and the next one tried as the start.
    QByteArray append(QByteArrayView bytes);
    // No byte came for much longer than a frame takes: a started frame is a fragment, dropped.
    void pause();
    // A new stream: nothing kept, nothing skipped yet.
    void clear();
    // Bytes of the started frame (always less than 13).
    qsizetype pendingSize() const { return m_started.size(); }
    // Bytes skipped or dropped as fragments since the stream began.
    qint64 skippedBytes() const { return m_skipped; }

private:
    bool completeStartedFrame(QByteArrayView bytes, qsizetype &at, QByteArray &frames);

    QByteArray m_started;
    qint64 m_skipped = 0;
};
