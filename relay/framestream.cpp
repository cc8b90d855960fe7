// The frame cutter for stream input: whole frames out, the rest kept.
#include "framestream.h"

#include "canmessage.h"

QList<QByteArray> FrameStream::append(QByteArrayView bytes)
{
    QList<QByteArray> frames;
    qsizetype pos = qMin(m_skip, bytes.size());
    m_skip -= pos;
    if (!m_tail.isEmpty()) {
        const qsizetype taken = qMin(FrameSize - m_tail.size(), bytes.size() - pos);
        m_tail.append(bytes.sliced(pos, taken));
        pos += taken;
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
    m_skip = 0;
}

void FrameStream::discard(qint64 count)
{
    const qint64 position = m_skip > 0 ? FrameSize - m_skip : m_tail.size();
    const qint64 into = (position + count) % FrameSize;
    m_tail.clear();
    m_skip = into == 0 ? 0 : FrameSize - into;
}
