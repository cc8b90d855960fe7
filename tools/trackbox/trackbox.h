// A simulated track box on a pseudo-terminal: answers pings, records, echoes and streams frames.
#pragma once

#include "pseudoterminal.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <optional>

class QSocketNotifier;
class QTimer;

class TrackBox : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype FrameSize = 13;
    static constexpr quint16 DefaultDeviceType = 0x0010;
    static constexpr quint32 DefaultDeviceId = 0x47431234;

    explicit TrackBox(QObject *parent = nullptr);
    ~TrackBox() override;

    bool isOpen() const { return m_pty.isOpen(); }
    QString errorString() const { return m_pty.errorString(); }
    // The device file the gateway opens as its serial port.
    QString portPath() const { return m_pty.slavePath(); }

    void setDeviceType(quint16 type) { m_deviceType = type; }
    void setDeviceId(quint32 id) { m_deviceId = id; }
    // A silent box records pings but does not answer them.
    void setSilent(bool silent) { m_silent = silent; }
    // Sends every received frame that is not a ping straight back.
    void setEcho(bool echo) { m_echo = echo; }
    // Long runs can switch the record off and rely on the count.
    void setRecording(bool recording) { m_recording = recording; }
    // A box that stops reading plays a slow line: what the gateway writes backs up.
    void setReading(bool reading);

    QList<QByteArray> receivedFrames() const { return m_received; }
    qint64 receivedCount() const { return m_receivedCount; }
    void clearReceivedFrames();
    // Bytes handed to send() or stream() that the pseudo-terminal has not taken yet.
    qsizetype pendingWriteSize() const { return m_pending.size() - m_pendingOffset; }

    // Writes raw bytes, whole frames or not, in order; queued while the terminal is full.
    void send(QByteArrayView bytes);
    // Sends frames 0 .. frameCount-1 (see streamFrame) at about framesPerSecond;
    // 0 or less means as fast as the reader takes them. Emits streamFinished.
    void stream(qint64 frameCount, int framesPerSecond);
    // Closes the pseudo-terminal: the gateway's serial port loses its device.
    void unplug();

    // The answer to a ping request: command 0x18 with the response bit, the
    // request's hash, 8 data bytes: identifier, 00 01, device type.
    static QByteArray pingAnswer(QByteArrayView request, quint32 id, quint16 type);
    static bool isPingRequest(QByteArrayView frame);
    // Frame number n carries n and its complement in its data bytes.
    static QByteArray streamFrame(quint32 number);
    // The number of a stream frame; nothing for any other or a damaged frame.
    static std::optional<quint32> streamFrameNumber(QByteArrayView frame);

signals:
    void frameReceived(const QByteArray &frame);
    void streamFinished();

private:
    void onMasterReadable();
    void onMasterWritable();
    void onStreamTick();
    void takeFrame(const QByteArray &frame);
    void writeOut();
    void finishStreamWhenFlushed();

    PseudoTerminal m_pty;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_streamTimer = nullptr;

    quint16 m_deviceType = DefaultDeviceType;
    quint32 m_deviceId = DefaultDeviceId;
    bool m_silent = false;
    bool m_echo = false;
    bool m_recording = true;

    QByteArray m_inputTail;
    QList<QByteArray> m_received;
    qint64 m_receivedCount = 0;

    // Written from m_pendingOffset on; kept in order, never dropped.
    QByteArray m_pending;
    qsizetype m_pendingOffset = 0;

    QElapsedTimer m_streamClock;
    qint64 m_streamTotal = 0;
    qint64 m_streamSent = 0;
    int m_streamRate = 0;
    bool m_streaming = false;
};
