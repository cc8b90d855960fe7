// The frame cutter for stream input: whole frames out, the rest kept.
#include "framestream.h"

#include "canmessage.h"

QList<QByteArray> FrameStream::append(QByteArrayView bytes)
{
    QList<QByteArray> frames;
    qsizetype pos = 0;
    if (!m_tail.isEmpty()) {
        const qsizetype missing = FrameSize - m_tail.size();
        const qsizetype taken = qMin(missing, bytes.size());
        m_tail.append(bytes.first(taken));
        pos = taken;
        if (m_tail.size() < FrameSize)
            return frames;
        frames.append(m_tail);
        m_tail.clear();
    }
    frames.reserve(frames.size() + (bytes.size() - pos) / FrameSize);
    for (; bytes.size() - pos >= FrameSize; pos += FrameSize)
        frames.append(bytes.sliced(pos, FrameSize).toByteArray());
    m_tail = bytes.sliced(pos).toByteArray();
    Q_ASSERT(m_tail.size() < FrameSize);
    return frames;
}

void FrameStream::clear()
{
    m_tail.clear();
}
