// A UDP socket: datagrams received on a local port, datagrams sent to one destination.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

#include <utility>

class QSocketNotifier;

class UdpSocket : public QObject
{
    Q_OBJECT
public:
    enum State { Closed = 0, Open = 1 };

    explicit UdpSocket(QObject *parent = nullptr);
    ~UdpSocket() override;

    // Receives on `localPort` (0: any free one) at the address that `localHost` names.
    bool bind(quint16 localPort, const QString &localHost);
    quint16 localPort() const { return m_localPort; }
    // Fixes where sendDatagrams() sends, opening the socket if needed. No handshake: nothing
    // needs to listen there, and a "port unreachable" answer cannot fail the next send.
    bool setDestination(const QString &remoteHost, quint16 remotePort);
    State state() const { return m_fd >= 0 ? Open : Closed; }
    // Every `size` bytes of `data` as a datagram of its own; answers how many went out.
    qint64 sendDatagrams(const QByteArray &data, qsizetype size);
    // The datagram being announced.
    QByteArray takeAll() { return std::exchange(m_datagram, {}); }
    // Whole datagrams dropped since the last call, by the system or by us, because a queue
    // held its most.
    qint64 takeDroppedDatagrams() { return std::exchange(m_droppedDatagrams, 0); }
    // Datagrams received and not announced yet.
    bool datagramsWaiting() const { return !m_datagrams.isEmpty(); }
    void close();

    QString errorString() const { return m_error; }

signals:
    // One per datagram, in order of arrival; a handler that lets events run only adds to them.
    void dataArrival(qint64 bytesTotal);

private:
    bool open(quint32 ipv4, quint16 port);
    void receiveDatagrams();
    void deliverDatagrams();
    bool fail(const QString &reason);

    quint16 m_localPort = 0;
    // IPv4 address in host byte order, and port, of the destination; none while the port is 0.
    quint32 m_remoteAddress = 0;
    quint16 m_remotePort = 0;
    QString m_error;
    int m_fd = -1;
    QSocketNotifier *m_readable = nullptr;

    QQueue<QByteArray> m_datagrams;
    // What the queued datagrams cost, counted against the queue's bound.
    qint64 m_datagramBytes = 0;
    qint64 m_droppedDatagrams = 0;
    // What the system last said it had dropped in all, before our queue saw them.
    quint32 m_droppedBySystem = 0;
    // The datagram being announced, until its handler takes it.
    QByteArray m_datagram;
    bool m_delivering = false;
};
