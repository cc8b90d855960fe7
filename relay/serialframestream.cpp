// The frame cutter for the serial line: whole frames out, a started frame kept, step regained.
#include "serialframestream.h"

#include "canmessage.h"

#include <utility>

namespace {

bool fromTheBus(char length)
{
    return quint8(length) <= DataSize;
}

} // namespace

QByteArray SerialFrameStream::append(QByteArrayView bytes)
{
    QByteArray frames;
    frames.reserve((m_started.size() + bytes.size()) / FrameSize * FrameSize);
    qsizetype at = 0;
    if (!completeStartedFrame(bytes, at, frames))
        return frames;
    for (;;) {
        // Frames that pass are taken in runs, so a stream in step is copied, not walked.
        const qsizetype run = at;
        while (bytes.size() - at >= FrameSize && fromTheBus(bytes[at + LengthOffset]))
            at += FrameSize;
        frames.append(bytes.sliced(run, at - run));
        if (bytes.size() - at <= LengthOffset || fromTheBus(bytes[at + LengthOffset]))
            break;
        ++at;
        ++m_skipped;
    }
    m_started = bytes.sliced(at).toByteArray();
    return frames;
}

// Byte by byte, since skipping may shift the start more than once; false while it is still started.
bool SerialFrameStream::completeStartedFrame(QByteArrayView bytes, qsizetype &at, QByteArray &frames)
{
    while (!m_started.isEmpty()) {
        if (m_started.size() > LengthOffset && !fromTheBus(m_started[LengthOffset])) {
            m_started.remove(0, 1);
            ++m_skipped;
        } else if (m_started.size() == FrameSize) {
            frames.append(std::exchange(m_started, {}));
        } else if (at < bytes.size()) {
            m_started.append(bytes[at++]);
        } else {
            return false;
        }
    }
    return true;
}

void SerialFrameStream::pause()
{
    m_skipped += m_started.size();
    m_started.clear();
}

void SerialFrameStream::clear()
{
    m_started.clear();
    m_skipped = 0;
}
