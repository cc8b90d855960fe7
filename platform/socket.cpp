// The socket service over QTcpServer, QTcpSocket and QUdpSocket.
#include "socket.h"

#include <QHash>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// Connections taken from a listener but not yet accepted, by request id.
// Taking them out of the server at once means a listener closed before the
// accept (the frame endpoint accepts on itself) loses nothing.
QHash<qint64, QPointer<QTcpSocket>> &pendingRequests()
{
    static QHash<qint64, QPointer<QTcpSocket>> requests;
    return requests;
}

qint64 nextRequestId()
{
    static qint64 id = 0;
    return ++id;
}

} // namespace

Socket::Socket(QObject *parent)
    : QObject(parent)
    , m_udp(new QUdpSocket(this))
{
    connect(m_udp, &QUdpSocket::readyRead, this, &Socket::onUdpReadyRead);
}

Socket::~Socket()
{
    close();
}

bool Socket::listen()
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &Socket::onNewConnection);
    }
    // The server decides how many connections it takes; the kernel keeps the rest waiting.
    m_server->setMaxPendingConnections(1 << 15);
    if (!m_server->listen(QHostAddress::AnyIPv4, m_localPort))
        return fail(describe(m_server->serverError(), m_server->errorString()));
    m_localPort = m_server->serverPort();
    m_state = Listening;
    return true;
}

bool Socket::bind(quint16 localPort, const QString &localHost)
{
    m_localPort = localPort;
    const QHostAddress address = resolveIPv4(localHost);
    if (address.isNull())
        return fail(describe(QAbstractSocket::HostNotFoundError, localHost));
    if (!m_udp->bind(address, localPort))
        return fail(describe(m_udp->error(), m_udp->errorString()));
    m_localPort = m_udp->localPort();
    m_state = Open;
    return true;
}

bool Socket::connectTo(const QString &remoteHost, quint16 remotePort)
{
    m_remotePort = remotePort;
    m_remoteAddress = resolveIPv4(remoteHost);
    if (m_remoteAddress.isNull())
        return fail(describe(QAbstractSocket::HostNotFoundError, remoteHost));
    // An unconnected socket that names the target on every datagram: a
    // "port unreachable" answer from a peer that is not listening yet then
    // cannot turn the next send into an error.
    if (m_udp->state() == QAbstractSocket::UnconnectedState
        && !m_udp->bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return fail(describe(m_udp->error(), m_udp->errorString()));
    m_state = Open;
    return true;
}

bool Socket::fail(const QString &reason)
{
    m_error = reason;
    // The socket is left closed, so that the next attempt sets it up anew.
    close();
    return false;
}

QString Socket::describe(QAbstractSocket::SocketError error, const QString &detail)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError: return u"Port wird bereits verwendet"_s;
    case QAbstractSocket::SocketAccessError: return u"keine Berechtigung"_s;
    case QAbstractSocket::SocketAddressNotAvailableError: return u"Adresse gehört nicht zu diesem Rechner"_s;
    case QAbstractSocket::HostNotFoundError: return u"Host nicht gefunden: "_s + detail;
    case QAbstractSocket::SocketResourceError: return u"keine Sockets mehr frei"_s;
    default: return u"Netzwerkfehler ("_s + detail + u")"_s;
    }
}

bool Socket::accept(qint64 requestId)
{
    QPointer<QTcpSocket> connection = pendingRequests().take(requestId);
    if (!connection || connection->state() != QAbstractSocket::ConnectedState) {
        if (connection)
            connection->deleteLater();
        m_error = u"Verbindung nicht mehr vorhanden"_s;
        return false;
    }
    if (m_server)
        m_server->close();
    adopt(connection);
    return true;
}

void Socket::adopt(QTcpSocket *connection)
{
    dropConnection();
    m_connection = connection;
    connection->setParent(this);
    connection->setReadBufferSize(m_receiveLimit);
    m_state = Connected;
    connect(connection, &QTcpSocket::readyRead, this,
            [this, connection] { emit dataArrival(connection->bytesAvailable()); });
    connect(connection, &QTcpSocket::bytesWritten, this, [this, connection](qint64 bytes) {
        emit sendProgress(bytes);
        if (connection == m_connection && connection->bytesToWrite() == 0)
            emit sendComplete();
    });
    connect(connection, &QTcpSocket::disconnected, this, [this, connection] {
        if (connection != m_connection)
            return;
        m_state = Closing;
        emit closed();
    });
    // Data that came with the connection is announced like any later arrival.
    if (connection->bytesAvailable() > 0) {
        QMetaObject::invokeMethod(
            this,
            [this, connection] {
                if (connection == m_connection && connection->bytesAvailable() > 0)
                    emit dataArrival(connection->bytesAvailable());
            },
            Qt::QueuedConnection);
    }
}

void Socket::dropConnection()
{
    if (!m_connection)
        return;
    QTcpSocket *old = m_connection;
    m_connection = nullptr;
    old->disconnect(this);
    old->abort();
    // Never delete a socket from inside its own signal.
    old->deleteLater();
}

void Socket::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *connection = m_server->nextPendingConnection();
        connection->setParent(nullptr);
        const qint64 id = nextRequestId();
        pendingRequests().insert(id, connection);
        emit connectionRequest(id);
        // A request nobody accepted is refused rather than left hanging.
        if (QPointer<QTcpSocket> left = pendingRequests().take(id)) {
            left->abort();
            left->deleteLater();
        }
    }
}

void Socket::onUdpReadyRead()
{
    // A handler that lets events run may bring us back here: the outer loop
    // announces what was queued meanwhile, in order.
    if (m_announcing) {
        queuePendingDatagrams();
        return;
    }
    m_announcing = true;
    // A datagram that arrives while a handler lets events run is not announced
    // by the socket (it does not signal while it is signalling), so look again
    // before leaving.
    do {
        queuePendingDatagrams();
        while (!m_datagrams.isEmpty()) {
            m_datagram = m_datagrams.dequeue();
            emit dataArrival(m_datagram.size());
            // A handler that did not take the datagram still leaves with it gone.
            m_datagram.clear();
        }
    } while (m_udp->hasPendingDatagrams());
    m_announcing = false;
}

void Socket::queuePendingDatagrams()
{
    while (m_udp->hasPendingDatagrams())
        m_datagrams.enqueue(m_udp->receiveDatagram().data());
}

qint64 Socket::send(const QByteArray &data)
{
    if (m_protocol == Udp) {
        if (m_state != Open || m_remoteAddress.isNull())
            return -1;
        return m_udp->writeDatagram(data, m_remoteAddress, m_remotePort);
    }
    if (!m_connection || m_state != Connected)
        return -1;
    return m_connection->write(data);
}

QByteArray Socket::takeAll()
{
    if (m_protocol == Udp)
        return std::exchange(m_datagram, {});
    return m_connection ? m_connection->readAll() : QByteArray();
}

qint64 Socket::waitingCount() const
{
    return m_connection ? m_connection->bytesAvailable() : 0;
}

void Socket::setReceiveLimit(qint64 bytes)
{
    m_receiveLimit = bytes;
    if (m_connection)
        m_connection->setReadBufferSize(bytes);
}

void Socket::close()
{
    if (m_server)
        m_server->close();
    dropConnection();
    m_udp->close();
    m_datagrams.clear();
    m_datagram.clear();
    m_state = Closed;
}

QString Socket::localHostName()
{
    return QHostInfo::localHostName();
}

QString Socket::localIpAddress()
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

QHostAddress Socket::resolveIPv4(const QString &host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::LocalHost);
    QHostAddress literal;
    if (literal.setAddress(host))
        return literal;
    const auto addresses = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    }
    return {};
}
