// The socket service: one TCP or UDP socket with the events the handlers use.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QQueue>
#include <QString>

#include <utility>

class QSocketNotifier;
class QTimer;

// A socket object lives as long as its owner and is reused for one connection after another:
// a connection that ends frees only its descriptor, never an object whose signal may still be
// on the stack of a handler that lets events run.
class Socket : public QObject
{
    Q_OBJECT
public:
    enum Protocol { Tcp, Udp };
    // State numbers as the handlers test them.
    enum State { Closed = 0, Open = 1, Listening = 2, Connected = 7, Closing = 8, Error = 9 };

    explicit Socket(QObject *parent = nullptr);
    ~Socket() override;

    void setProtocol(Protocol protocol) { m_protocol = protocol; }
    Protocol protocol() const { return m_protocol; }
    void setLocalPort(quint16 port) { m_localPort = port; }
    quint16 localPort() const { return m_localPort; }
    void setRemotePort(quint16 port) { m_remotePort = port; }

    // TCP: listen on the local port on every IPv4 address.
    bool listen();
    // UDP: receive on localPort at the address that localHost names.
    bool bind(quint16 localPort, const QString &localHost);
    // UDP: fix where sendDatagrams() sends; no handshake, nothing needs to listen there.
    bool connectTo(const QString &remoteHost, quint16 remotePort);
    // TCP: take the pending connection with this id (from any listener) into this socket.
    bool accept(qint64 requestId);

    State state() const { return m_state; }
    // TCP: takes all of `data` or none of it (-1: not connected, or the send limit would be passed).
    // Progress and completion are reported later from the event loop, never from inside send().
    qint64 send(const QByteArray &data);
    // UDP: every `size` bytes of `data` as a datagram of its own; answers how many went out.
    qint64 sendDatagrams(const QByteArray &data, qsizetype size);
    // TCP: all bytes received so far; UDP: the datagram being announced.
    QByteArray takeAll();
    // TCP: bytes received and not taken yet.
    qint64 waitingCount() const { return m_received.size(); }
    // TCP: nothing more will arrive (the peer finished sending, or the connection failed).
    bool atEnd() const { return m_inputEnded; }
    // TCP: bytes handed to send() that the system has not taken yet.
    qint64 bytesToWrite() const { return m_outgoing.size() - m_outgoingOffset; }
    // TCP: at most this many received bytes are held; beyond that the peer is made to wait (0: no limit).
    void setReceiveLimit(qint64 bytes);
    // TCP: at most this many bytes wait to be sent (0: no limit). The system's own buffer is then
    // kept small as well, so that the limit is what a peer that does not read can hold up.
    void setSendLimit(qint64 bytes) { m_sendLimit = bytes; }
    // TCP: the system sends small pieces without waiting to fill a segment (set before accepting).
    void setSendWithoutDelay(bool withoutDelay) { m_sendWithoutDelay = withoutDelay; }
    // UDP: whole datagrams dropped since the last call, by the system or by us, because a queue
    // held its most.
    qint64 takeDroppedDatagrams() { return std::exchange(m_droppedDatagrams, 0); }
    // UDP: datagrams received and not announced yet.
    bool datagramsWaiting() const { return !m_datagrams.isEmpty(); }
    // TCP listener: whether waiting connections are taken; while not, they wait in the system's queue.
    void setAccepting(bool accepting);
    // TCP: drops what was received and what the peer has sent up to now, unread; gives the count.
    qint64 discardReceived();
    void close();

    QString errorString() const { return m_error; }

    static QString localHostName();
    static QString localIpAddress();
    // "localhost" is taken as 127.0.0.1; other names are looked up, IPv4 first.
    static QHostAddress resolveIPv4(const QString &host);

signals:
    void dataArrival(qint64 bytesTotal);
    void connectionRequest(qint64 requestId);
    void sendProgress(qint64 bytesSent);
    void sendComplete();
    // TCP: the peer has finished sending (it shut down its side or closed); sending may go on.
    void inputEnded();
    // TCP: the connection is gone (reset, or a send failed); the socket stays Closing until close().
    void closed();
    // TCP: a connection was ended by close() on this side.
    void released();

private:
    void onReadable();
    void onWritable();
    bool writeWaiting();
    void reportWritten();
    void acceptWaiting();
    void offer(int connection);
    void pauseAccepting();
    void resumeAccepting();
    static void resumeListeners();
    void receiveStream();
    void receiveDatagrams();
    void updateReading();
    void compactOutgoing();
    void failConnection(int error);
    void deliverEvents();
    void deliverLater();
    void adopt(int fd, State state);
    void releaseDescriptor();
    void reset();
    bool fail(const QString &reason);
    static QString describe(int error);

    Protocol m_protocol = Tcp;
    State m_state = Closed;
    quint16 m_localPort = 0;
    quint16 m_remotePort = 0;
    // IPv4 address in host byte order; set by connectTo.
    quint32 m_remoteAddress = 0;
    bool m_hasRemote = false;
    QString m_error;

    int m_fd = -1;
    // Changes with every descriptor, so code that let events run can tell it holds another one now.
    quint64 m_generation = 0;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;

    QByteArray m_received;
    qint64 m_receiveLimit = 0;
    bool m_inputEnded = false;
    QQueue<QByteArray> m_datagrams;
    // What the queued datagrams cost, counted against the queue's bound.
    qint64 m_datagramBytes = 0;
    qint64 m_droppedDatagrams = 0;
    // What the system last said it had dropped in all, before our queue saw them.
    quint32 m_droppedBySystem = 0;
    // The datagram being announced, until its handler takes it.
    QByteArray m_datagram;

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

    bool m_accepting = false;
    bool m_acceptPaused = false;
    bool m_acceptHeld = false;
    QTimer *m_acceptRetry = nullptr;
};
