// The socket service: one TCP or UDP socket with the events the handlers use.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QQueue>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

class Socket : public QObject
{
    Q_OBJECT
public:
    enum Protocol { Tcp, Udp };
    // State numbers as the handlers test them.
    enum State { Closed = 0, Open = 1, Listening = 2, Closing = 8, Connected = 7, Error = 9 };

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
    // UDP: fix where send() goes; no handshake, nothing needs to listen there.
    bool connectTo(const QString &remoteHost, quint16 remotePort);
    // TCP: take the pending connection with this id (from any listener) into this socket.
    bool accept(qint64 requestId);

    State state() const { return m_state; }
    qint64 send(const QByteArray &data);
    // TCP: all bytes received so far; UDP: the datagram being announced.
    QByteArray takeAll();
    // TCP: bytes received and not taken yet.
    qint64 waitingCount() const;
    // TCP: at most this many received bytes are held; beyond that the peer is
    // made to wait (0: no limit).
    void setReceiveLimit(qint64 bytes);
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
    void closed();

private:
    void onNewConnection();
    void adopt(QTcpSocket *connection);
    void dropConnection();
    void onUdpReadyRead();
    bool fail(const QString &reason);
    static QString describe(QAbstractSocket::SocketError error, const QString &detail);
    void queuePendingDatagrams();

    Protocol m_protocol = Tcp;
    State m_state = Closed;
    quint16 m_localPort = 0;
    quint16 m_remotePort = 0;
    qint64 m_receiveLimit = 0;
    QHostAddress m_remoteAddress;
    QString m_error;
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_connection = nullptr;
    QUdpSocket *m_udp;
    QQueue<QByteArray> m_datagrams;
    // The datagram being announced, until its handler takes it.
    QByteArray m_datagram;
    bool m_announcing = false;
};
