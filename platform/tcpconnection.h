// One TCP connection accepted from a listener, with the events the handlers use.
#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;
class QTimer;
class TcpListener;

// A connection object lives as long as its owner and is reused for one connection after another:
// a connection that ends frees only its descriptor, never an object whose signal may still be
// on the stack of a handler that lets events run.
class TcpConnection : public QObject
{
    Q_OBJECT
public:
    // State numbers as the handlers test them.
    enum State { Closed = 0, Connected = 7, Failed = 9 };

    explicit TcpConnection(QObject *parent = nullptr);
    ~TcpConnection() override;

    // Takes the request the listener is offering; the listener may be closed already.
    bool accept(TcpListener &listener, qint64 requestId);
    State state() const { return m_state; }
    // Takes all of `data` or none of it (-1: not connected, or the send limit would be passed).
    // Progress and completion are reported later from the event loop, never from inside send().
    qint64 send(const QByteArray &data);
    // All bytes received so far.
    QByteArray takeAll();
    // Bytes received and not taken yet.
    qint64 waitingCount() const { return m_received.size(); }
    // Nothing more will arrive (the peer finished sending, or the connection failed).
    bool atEnd() const { return m_inputEnded; }
    // Bytes handed to send() that the system has not taken yet.
    qint64 bytesToWrite() const { return m_outgoing.size() - m_outgoingOffset; }
    // At most this many received bytes are held; beyond that the peer is made to wait (0: no limit).
    void setReceiveLimit(qint64 bytes);
    // At most this many bytes wait to be sent (0: no limit). The system's own buffer is then
    // kept small as well, so that the limit is what a peer that does not read can hold up.
    void setSendLimit(qint64 bytes) { m_sendLimit = bytes; }
    // The system sends small pieces without waiting to fill a segment (set before accepting).
    void setSendWithoutDelay(bool withoutDelay) { m_sendWithoutDelay = withoutDelay; }
    // Drops what was received and what the peer has sent up to now, unread; gives the count.
    qint64 discardReceived();
    void close();

signals:
    void dataArrival(qint64 bytesTotal);
    void sendProgress(qint64 bytesSent);
    void sendComplete();
    // The peer has finished sending (it shut down its side or closed); sending may go on.
    void inputEnded();
    // The connection is gone (reset, or a send failed); the state stays Failed until close().
    void failed();
    // A connection was ended by close() on this side.
    void released();

private:
    void onReadable();
    void onWritable();
    bool writeWaiting();
    void reportWritten();
    void updateReading();
    void compactOutgoing();
    void fail();
    void deliverEvents();
    void deliverLater();
    void releaseDescriptor();

    State m_state = Closed;
    int m_fd = -1;
    // Changes with every descriptor, so code that let events run can tell it holds another one now.
    quint64 m_generation = 0;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;

    QByteArray m_received;
    qint64 m_receiveLimit = 0;
    bool m_inputEnded = false;

    QByteArray m_outgoing;
    qsizetype m_outgoingOffset = 0;
    qint64 m_sendLimit = 0;
    bool m_sendWithoutDelay = false;
    // Handed to the system but not yet reported as sent.
    qint64 m_writtenUnreported = 0;
    QTimer *m_reportWritten;

    // Events are delivered by one loop at a time and in order; a nested pass only adds to them.
    bool m_delivering = false;
    bool m_dataPending = false;
    bool m_endPending = false;
    bool m_failurePending = false;
};
