// The simulated track box: reads frames from the master side and writes answers and streams back.
#include "trackbox.h"

#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <unistd.h>

namespace {

constexpr quint8 PingCommand = 0x18;
constexpr quint8 AnswerLength = 8;
// Both ping bytes after the identifier: a fixed 00 01, as the device sends it.
constexpr std::array<quint8, 2> AnswerMiddleBytes = {0x00, 0x01};
constexpr qsizetype LengthOffset = 4;
constexpr qsizetype DataOffset = 5;
constexpr int ReadChunk = 4096;
// Written bytes are cut off the queue's front only now and then, not per write.
constexpr qsizetype PendingCompactSize = 64 * 1024;

// Stream frames: command 0x21 (not a ping), request, a fixed hash, 8 data bytes.
constexpr std::array<quint8, 4> StreamIdent = {0x00, 0x42, 0x51, 0x56};
constexpr int StreamTickMs = 1;
// Frames are generated only while less than this is waiting in our queue, so a
// slow reader holds the stream back instead of filling memory.
constexpr qsizetype StreamBacklogLimit = 64 * 1024;
constexpr qint64 NanosecondsPerSecond = 1'000'000'000;

int commandOf(QByteArrayView frame)
{
    return ((quint8(frame[0]) & 0x01) << 7) | (quint8(frame[1]) >> 1);
}

bool responseBitOf(QByteArrayView frame)
{
    return (quint8(frame[1]) & 0x01) != 0;
}

void appendBigEndian(QByteArray &bytes, quint32 value, int size)
{
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
        bytes.append(char((value >> shift) & 0xFF));
}

quint32 readBigEndian(QByteArrayView bytes, qsizetype offset)
{
    quint32 value = 0;
    for (qsizetype i = 0; i < 4; ++i)
        value = (value << 8) | quint8(bytes[offset + i]);
    return value;
}

} // namespace

TrackBox::TrackBox(QObject *parent)
    : QObject(parent)
    , m_streamTimer(new QTimer(this))
{
    m_streamTimer->setTimerType(Qt::PreciseTimer);
    m_streamTimer->setInterval(StreamTickMs);
    connect(m_streamTimer, &QTimer::timeout, this, &TrackBox::onStreamTick);
    if (!m_pty.isOpen())
        return;
    m_readNotifier = new QSocketNotifier(m_pty.masterFd(), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TrackBox::onMasterReadable);
    m_writeNotifier = new QSocketNotifier(m_pty.masterFd(), QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TrackBox::onMasterWritable);
}

TrackBox::~TrackBox()
{
    unplug();
}

void TrackBox::clearReceivedFrames()
{
    m_received.clear();
    m_receivedCount = 0;
}

void TrackBox::unplug()
{
    m_streamTimer->stop();
    m_streaming = false;
    // Switched off before the descriptor closes, and kept: unplug() may run inside a slot
    // called from the read notifier's own signal.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier)
            notifier->setEnabled(false);
    }
    m_pty.unplug();
    m_pending.clear();
    m_pendingOffset = 0;
}

void TrackBox::setReading(bool reading)
{
    if (!m_pty.isOpen())
        return;
    m_readNotifier->setEnabled(reading);
    if (reading)
        onMasterReadable();
}

void TrackBox::onMasterReadable()
{
    char buffer[ReadChunk];
    for (;;) {
        const ssize_t got = ::read(m_pty.masterFd(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // EAGAIN: all read. Anything else cannot happen while we hold the
            // slave open; stop listening rather than spin on it.
            if (got == 0 || errno != EAGAIN)
                m_readNotifier->setEnabled(false);
            return;
        }
        m_inputTail.append(buffer, got);
        qsizetype pos = 0;
        for (; m_inputTail.size() - pos >= FrameSize; pos += FrameSize)
            takeFrame(m_inputTail.sliced(pos, FrameSize));
        m_inputTail.remove(0, pos);
        if (!m_pty.isOpen()) // unplugged by a receiver of frameReceived
            return;
    }
}

void TrackBox::takeFrame(const QByteArray &frame)
{
    ++m_receivedCount;
    if (m_recording)
        m_received.append(frame);
    if (isPingRequest(frame)) {
        if (!m_silent)
            send(pingAnswer(frame, m_deviceId, m_deviceType));
    } else if (m_echo && commandOf(frame) != PingCommand) {
        send(frame);
    }
    emit frameReceived(frame);
}

void TrackBox::send(QByteArrayView bytes)
{
    if (!m_pty.isOpen())
        return;
    m_pending.append(bytes);
    writeOut();
}

void TrackBox::writeOut()
{
    while (m_pendingOffset < m_pending.size()) {
        const ssize_t written = ::write(m_pty.masterFd(), m_pending.constData() + m_pendingOffset,
                                        size_t(m_pending.size() - m_pendingOffset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            // Full (EAGAIN): keep the rest and go on when the terminal takes more.
            if (m_pendingOffset >= PendingCompactSize) {
                m_pending.remove(0, m_pendingOffset);
                m_pendingOffset = 0;
            }
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_pendingOffset += written;
    }
    m_pending.clear();
    m_pendingOffset = 0;
    m_writeNotifier->setEnabled(false);
}

void TrackBox::onMasterWritable()
{
    writeOut();
    finishStreamWhenFlushed();
}

void TrackBox::stream(qint64 frameCount, int framesPerSecond)
{
    m_streamTotal = qMax<qint64>(frameCount, 0);
    m_streamSent = 0;
    m_streamRate = framesPerSecond;
    m_streaming = true;
    m_streamClock.start();
    m_streamTimer->start();
    onStreamTick();
}

void TrackBox::onStreamTick()
{
    if (!m_streaming)
        return;
    qint64 due = m_streamTotal;
    if (m_streamRate > 0)
        due = qMin(due, m_streamClock.nsecsElapsed() * m_streamRate / NanosecondsPerSecond);
    const qint64 room = (StreamBacklogLimit - pendingWriteSize()) / FrameSize;
    const qint64 batch = qMin(due - m_streamSent, room);
    if (batch > 0) {
        QByteArray bytes;
        bytes.reserve(batch * FrameSize);
        for (qint64 i = 0; i < batch; ++i)
            bytes.append(streamFrame(quint32(m_streamSent + i)));
        m_streamSent += batch;
        send(bytes);
    }
    if (m_streamSent >= m_streamTotal) {
        m_streamTimer->stop();
        finishStreamWhenFlushed();
    }
}

void TrackBox::finishStreamWhenFlushed()
{
    if (m_streaming && m_streamSent >= m_streamTotal && pendingWriteSize() == 0) {
        m_streaming = false;
        emit streamFinished();
    }
}

QByteArray TrackBox::pingAnswer(QByteArrayView request, quint32 id, quint16 type)
{
    QByteArray answer;
    answer.reserve(FrameSize);
    answer.append(char(0x00));
    answer.append(char((PingCommand << 1) | 0x01));
    answer.append(request.sliced(2, 2));
    answer.append(char(AnswerLength));
    appendBigEndian(answer, id, 4);
    for (quint8 byte : AnswerMiddleBytes)
        answer.append(char(byte));
    appendBigEndian(answer, type, 2);
    return answer;
}

bool TrackBox::isPingRequest(QByteArrayView frame)
{
    return frame.size() == FrameSize && commandOf(frame) == PingCommand && !responseBitOf(frame);
}

QByteArray TrackBox::streamFrame(quint32 number)
{
    QByteArray frame;
    frame.reserve(FrameSize);
    for (quint8 byte : StreamIdent)
        frame.append(char(byte));
    frame.append(char(AnswerLength));
    appendBigEndian(frame, number, 4);
    appendBigEndian(frame, ~number, 4);
    return frame;
}

std::optional<quint32> TrackBox::streamFrameNumber(QByteArrayView frame)
{
    if (frame.size() != FrameSize || quint8(frame[LengthOffset]) != AnswerLength)
        return std::nullopt;
    for (qsizetype i = 0; i < qsizetype(StreamIdent.size()); ++i) {
        if (quint8(frame[i]) != StreamIdent[i])
            return std::nullopt;
    }
    const quint32 number = readBigEndian(frame, DataOffset);
    if (readBigEndian(frame, DataOffset + 4) != ~number)
        return std::nullopt;
    return number;
}
