// The socket service over non-blocking descriptors watched by socket notifiers.
#include "socket.h"

#include "socketcalls.h"

#include <QHash>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// Input is read in pieces of this size, and at most this much per readiness, so that one
// busy peer cannot hold the event loop.
constexpr qint64 ReadPiece = 64 * 1024;
constexpr qint64 MostReadPerPass = 256 * 1024;
// Connections a listener takes per readiness before other events get their turn.
constexpr int MostAcceptsPerPass = 64;
// The kernel's datagram queue is emptied at every readiness into ours (small datagrams take far
// less room here than there). Ours holds at most this many bytes: some 27,000 small datagrams or
// 31 of the largest, about half a second of echoing either way, so that a burst rides out a busy
// spell and what a flood leaves behind is echoed well within a second. Beyond it whole datagrams
// are dropped and counted, so that the kernel's queue keeps emptying and holds nothing stale either.
constexpr qint64 DatagramBacklog = 2 * 1024 * 1024;
// What a queued datagram costs beyond its bytes: the array's header and the queue's entry.
constexpr qint64 DatagramOverhead = 64;
// Far more than the kernel's queue holds, and still a bound on one pass under a flood.
constexpr int MostDatagramsPerPass = 4096;
// Sent bytes are cut off the front of the queue only now and then, not per write.
constexpr qsizetype CompactAfter = 64 * 1024;
// What the peer has sent up to a discard is in the kernel's queue, which is never larger.
constexpr qint64 MostDiscardedAtOnce = 16 * 1024 * 1024;
// The system's send buffer of a connection with a send limit; it grows by itself otherwise.
constexpr int LimitedSendBuffer = 64 * 1024;
// Out of descriptors, a listener tries again after this pause, or as soon as one frees.
constexpr int AcceptRetryMs = 50;

// Room for the largest datagram; reads never nest, so one buffer serves every socket.
char scratch[ReadPiece];

// Connections taken from a listener but not yet accepted, by request id. Holding them
// apart from the listener means one closed before the accept (the frame endpoint accepts
// on itself) loses nothing.
QHash<qint64, int> &pendingRequests()
{
    static QHash<qint64, int> requests;
    return requests;
}

qint64 nextRequestId()
{
    static qint64 id = 0;
    return ++id;
}

// Listeners that ran out of descriptors and wait for one to free.
QSet<Socket *> &pausedListeners()
{
    static QSet<Socket *> listeners;
    return listeners;
}

} // namespace

Socket::Socket(QObject *parent)
    : QObject(parent)
    , m_readNotifier(new QSocketNotifier(QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(QSocketNotifier::Write, this))
    , m_reportWritten(new QTimer(this))
{
    // A timer of 0 ms runs in the next pass without waking the loop, as posting an event would.
    m_reportWritten->setSingleShot(true);
    m_reportWritten->setInterval(0);
    connect(m_reportWritten, &QTimer::timeout, this, &Socket::reportWritten);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &Socket::onReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &Socket::onWritable);
}

Socket::~Socket()
{
    pausedListeners().remove(this);
    releaseDescriptor();
}

bool Socket::listen()
{
    releaseDescriptor();
    reset();
    m_protocol = Tcp;
    const SocketCalls::Opened listener = SocketCalls::tcpListener(m_localPort);
    if (listener.fd < 0)
        return fail(describe(listener.error));
    m_localPort = SocketCalls::boundPort(listener.fd);
    adopt(listener.fd, Listening);
    return true;
}

bool Socket::bind(quint16 localPort, const QString &localHost)
{
    releaseDescriptor();
    reset();
    m_protocol = Udp;
    m_localPort = localPort;
    const QHostAddress address = resolveIPv4(localHost);
    if (address.isNull())
        return fail(u"Host nicht gefunden: "_s + localHost);
    const SocketCalls::Opened socket = SocketCalls::udpSocket(address.toIPv4Address(), localPort);
    if (socket.fd < 0)
        return fail(describe(socket.error));
    m_localPort = SocketCalls::boundPort(socket.fd);
    adopt(socket.fd, Open);
    return true;
}

bool Socket::connectTo(const QString &remoteHost, quint16 remotePort)
{
    m_protocol = Udp;
    m_remotePort = remotePort;
    const QHostAddress address = resolveIPv4(remoteHost);
    if (address.isNull())
        return fail(u"Host nicht gefunden: "_s + remoteHost);
    // An unconnected socket that names the target on every datagram: a "port unreachable"
    // answer from a peer that is not listening yet then cannot turn the next send into an error.
    if (m_fd < 0) {
        const SocketCalls::Opened socket = SocketCalls::udpSocket(0, 0);
        if (socket.fd < 0)
            return fail(describe(socket.error));
        adopt(socket.fd, Open);
    }
    m_remoteAddress = address.toIPv4Address();
    m_hasRemote = true;
    m_state = Open;
    return true;
}

bool Socket::accept(qint64 requestId)
{
    const auto request = pendingRequests().constFind(requestId);
    if (request == pendingRequests().cend()) {
        m_error = u"Verbindung nicht mehr vorhanden"_s;
        return false;
    }
    const int connection = request.value();
    pendingRequests().erase(request);
    releaseDescriptor();
    reset();
    m_protocol = Tcp;
    if (m_sendLimit > 0)
        SocketCalls::fixSendBuffer(connection, LimitedSendBuffer);
    if (m_sendWithoutDelay)
        SocketCalls::sendWithoutDelay(connection);
    adopt(connection, Connected);
    return true;
}

bool Socket::fail(const QString &reason)
{
    m_error = reason;
    // The socket is left closed, so that the next attempt sets it up anew.
    releaseDescriptor();
    reset();
    return false;
}

QString Socket::describe(int error)
{
    switch (error) {
    case EADDRINUSE: return u"Port wird bereits verwendet"_s;
    case EACCES:
    case EPERM: return u"keine Berechtigung"_s;
    case EADDRNOTAVAIL: return u"Adresse gehört nicht zu diesem Rechner"_s;
    case ECONNRESET: return u"Verbindung von der Gegenseite zurückgesetzt"_s;
    case EPIPE: return u"Verbindung von der Gegenseite beendet"_s;
    default:
        if (SocketCalls::outOfDescriptors(error))
            return u"keine Sockets mehr frei"_s;
        return u"Netzwerkfehler ("_s + qt_error_string(error) + u")"_s;
    }
}

void Socket::adopt(int fd, State state)
{
    m_fd = fd;
    ++m_generation;
    m_state = state;
    m_readNotifier->setSocket(fd);
    m_readNotifier->setEnabled(true);
    // Watched only while something waits to be sent.
    m_writeNotifier->setSocket(fd);
}

void Socket::releaseDescriptor()
{
    if (m_fd < 0)
        return;
    // Off before the number is given back: the system may hand it to the next socket at once.
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    SocketCalls::closeDescriptor(std::exchange(m_fd, -1));
    ++m_generation;
    resumeListeners();
}

// Forgets everything of the last descriptor. The delivery and accept loops are left alone:
// they belong to callers further up the stack, which finish them.
void Socket::reset()
{
    m_state = Closed;
    m_received.clear();
    m_inputEnded = false;
    m_datagrams.clear();
    m_datagramBytes = 0;
    m_droppedDatagrams = 0;
    m_droppedBySystem = 0;
    m_datagram.clear();
    m_outgoing.clear();
    m_outgoingOffset = 0;
    m_writtenUnreported = 0;
    m_reportWritten->stop();
    m_dataPending = false;
    m_endPending = false;
    m_failurePending = false;
    m_acceptHeld = false;
    if (m_acceptPaused) {
        m_acceptPaused = false;
        pausedListeners().remove(this);
        m_acceptRetry->stop();
    }
}

void Socket::close()
{
    const bool hadConnection = m_protocol == Tcp && (m_state == Connected || m_state == Closing);
    releaseDescriptor();
    reset();
    if (hadConnection)
        emit released();
}

// ---- Readiness: activations are hints; the descriptor decides what is really there ----

void Socket::onReadable()
{
    if (m_fd < 0 || m_readNotifier->socket() != m_fd)
        return;
    switch (m_state) {
    case Listening: acceptWaiting(); break;
    case Open: receiveDatagrams(); break;
    case Connected: receiveStream(); break;
    default: m_readNotifier->setEnabled(false); break;
    }
}

void Socket::acceptWaiting()
{
    if (m_accepting) {
        // A request handler further up lets events run; its loop takes this connection next.
        m_readNotifier->setEnabled(false);
        return;
    }
    m_accepting = true;
    const quint64 generation = m_generation;
    for (int taken = 0; taken < MostAcceptsPerPass && m_generation == generation && !m_acceptHeld; ++taken) {
        const SocketCalls::Opened connection = SocketCalls::acceptConnection(m_fd);
        if (connection.fd >= 0) {
            offer(connection.fd);
            continue;
        }
        // A connection reset before it was taken costs nothing; the next may be fine.
        if (connection.error == ECONNABORTED || connection.error == EPROTO)
            continue;
        if (SocketCalls::outOfDescriptors(connection.error))
            pauseAccepting();
        break;
    }
    m_accepting = false;
    if (m_state == Listening && m_fd >= 0 && !m_acceptPaused && !m_acceptHeld)
        m_readNotifier->setEnabled(true);
}

void Socket::setAccepting(bool accepting)
{
    if (m_acceptHeld == !accepting)
        return;
    m_acceptHeld = !accepting;
    if (m_state == Listening && m_fd >= 0 && !m_acceptPaused && !m_accepting)
        m_readNotifier->setEnabled(accepting);
}

void Socket::offer(int connection)
{
    const qint64 id = nextRequestId();
    pendingRequests().insert(id, connection);
    emit connectionRequest(id);
    // A request nobody accepted is refused rather than left hanging.
    const auto left = pendingRequests().constFind(id);
    if (left != pendingRequests().cend()) {
        SocketCalls::closeDescriptor(left.value());
        pendingRequests().erase(left);
        resumeListeners();
    }
}

// Accepting again at once would fail again at once: the listener waits for a descriptor to
// free (any socket closing) or for a short pause, and the clients wait in the backlog.
void Socket::pauseAccepting()
{
    m_acceptPaused = true;
    m_readNotifier->setEnabled(false);
    pausedListeners().insert(this);
    if (!m_acceptRetry) {
        m_acceptRetry = new QTimer(this);
        m_acceptRetry->setSingleShot(true);
        m_acceptRetry->setInterval(AcceptRetryMs);
        connect(m_acceptRetry, &QTimer::timeout, this, &Socket::resumeAccepting);
    }
    m_acceptRetry->start();
}

void Socket::resumeAccepting()
{
    if (!m_acceptPaused)
        return;
    m_acceptPaused = false;
    pausedListeners().remove(this);
    m_acceptRetry->stop();
    if (m_state == Listening && m_fd >= 0 && !m_accepting && !m_acceptHeld)
        m_readNotifier->setEnabled(true);
}

void Socket::resumeListeners()
{
    const QSet<Socket *> paused = std::exchange(pausedListeners(), {});
    for (Socket *listener : paused)
        listener->resumeAccepting();
}

void Socket::receiveStream()
{
    const qsizetype before = m_received.size();
    for (qint64 taken = 0; taken < MostReadPerPass && !m_inputEnded;) {
        const qint64 room
            = m_receiveLimit > 0 ? qMin(ReadPiece, m_receiveLimit - m_received.size()) : ReadPiece;
        if (room <= 0)
            break;
        int error = 0;
        const qint64 got = SocketCalls::receive(m_fd, scratch, room, error);
        if (got > 0) {
            m_received.append(scratch, got);
            taken += got;
        } else if (got == 0) {
            m_inputEnded = true;
            m_endPending = true;
        } else {
            if (error != EAGAIN)
                failConnection(error);
            break;
        }
    }
    if (m_received.size() > before)
        m_dataPending = true;
    updateReading();
    deliverEvents();
}

void Socket::receiveDatagrams()
{
    for (int taken = 0; taken < MostDatagramsPerPass; ++taken) {
        int error = 0;
        quint32 droppedBySystem = m_droppedBySystem;
        const qint64 got
            = SocketCalls::receiveDatagram(m_fd, scratch, sizeof scratch, error, droppedBySystem);
        if (got < 0)
            break;
        m_droppedDatagrams += quint32(droppedBySystem - std::exchange(m_droppedBySystem, droppedBySystem));
        if (m_datagramBytes + got + DatagramOverhead > DatagramBacklog) {
            ++m_droppedDatagrams;
            continue;
        }
        m_datagrams.enqueue(QByteArray(scratch, got));
        m_datagramBytes += got + DatagramOverhead;
    }
    deliverEvents();
}

void Socket::updateReading()
{
    if (m_protocol != Tcp || m_state != Connected || m_fd < 0)
        return;
    const bool room = m_receiveLimit <= 0 || m_received.size() < m_receiveLimit;
    m_readNotifier->setEnabled(room && !m_inputEnded);
}

void Socket::onWritable()
{
    if (m_fd < 0 || m_writeNotifier->socket() != m_fd)
        return;
    if (m_state != Connected) {
        m_writeNotifier->setEnabled(false);
        return;
    }
    if (!writeWaiting()) {
        deliverEvents();
        return;
    }
    reportWritten();
}

// Hands what waits to the system as far as it takes it. The socket is watched for room only while
// something is left: each change of what is watched costs the event loop a wake-up.
bool Socket::writeWaiting()
{
    while (bytesToWrite() > 0) {
        int error = 0;
        const qint64 sent
            = SocketCalls::sendStream(m_fd, m_outgoing.constData() + m_outgoingOffset, bytesToWrite(), error);
        if (sent < 0) {
            if (error == EAGAIN)
                break;
            failConnection(error);
            return false;
        }
        m_outgoingOffset += sent;
        m_writtenUnreported += sent;
    }
    compactOutgoing();
    m_writeNotifier->setEnabled(bytesToWrite() > 0);
    return true;
}

void Socket::reportWritten()
{
    const qint64 written = std::exchange(m_writtenUnreported, 0);
    if (written == 0)
        return;
    const quint64 generation = m_generation;
    emit sendProgress(written);
    // "Send complete" is the moment nothing is left to write, also after a progress handler sent more.
    if (m_generation == generation && m_state == Connected && bytesToWrite() == 0)
        emit sendComplete();
}

void Socket::compactOutgoing()
{
    if (m_outgoingOffset == m_outgoing.size()) {
        m_outgoing.clear();
        m_outgoingOffset = 0;
    } else if (m_outgoingOffset >= CompactAfter && m_outgoingOffset * 2 >= m_outgoing.size()) {
        m_outgoing.remove(0, m_outgoingOffset);
        m_outgoingOffset = 0;
    }
}

// The descriptor is kept (state Closing) until the owner closes it, as a slot is freed only by
// its own close; what was queued for sending can never go out and is dropped now.
void Socket::failConnection(int error)
{
    m_error = describe(error);
    m_state = Closing;
    m_inputEnded = true;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_outgoing.clear();
    m_outgoingOffset = 0;
    m_failurePending = true;
}

void Socket::deliverEvents()
{
    if (m_delivering)
        return;
    m_delivering = true;
    for (;;) {
        if (std::exchange(m_dataPending, false)) {
            if (!m_received.isEmpty())
                emit dataArrival(m_received.size());
        } else if (!m_datagrams.isEmpty()) {
            m_datagram = m_datagrams.dequeue();
            m_datagramBytes -= m_datagram.size() + DatagramOverhead;
            emit dataArrival(m_datagram.size());
            // A handler that did not take the datagram still leaves with it gone.
            m_datagram.clear();
        } else if (std::exchange(m_endPending, false)) {
            emit inputEnded();
        } else if (std::exchange(m_failurePending, false)) {
            emit closed();
        } else {
            break;
        }
    }
    m_delivering = false;
}

void Socket::deliverLater()
{
    QMetaObject::invokeMethod(this, &Socket::deliverEvents, Qt::QueuedConnection);
}

// ---- What the handlers call ----

qint64 Socket::send(const QByteArray &data)
{
    if (m_state != Connected)
        return -1;
    if (m_sendLimit > 0 && bytesToWrite() + data.size() > m_sendLimit)
        return -1;
    m_outgoing.append(data);
    // Nothing waits for room: the system most likely takes it all now, and the events follow
    // from the event loop as they would after a wait.
    if (!data.isEmpty() && !m_writeNotifier->isEnabled()) {
        if (!writeWaiting())
            deliverLater();
        else if (m_writtenUnreported > 0)
            m_reportWritten->start();
    }
    return data.size();
}

qint64 Socket::sendDatagrams(const QByteArray &data, qsizetype size)
{
    if (m_protocol != Udp || m_state != Open || !m_hasRemote)
        return -1;
    return SocketCalls::sendDatagrams(m_fd, data, size, m_remoteAddress, m_remotePort);
}

QByteArray Socket::takeAll()
{
    if (m_protocol == Udp)
        return std::exchange(m_datagram, {});
    QByteArray all = std::exchange(m_received, {});
    updateReading();
    return all;
}

void Socket::setReceiveLimit(qint64 bytes)
{
    m_receiveLimit = bytes;
    updateReading();
}

qint64 Socket::discardReceived()
{
    qint64 count = std::exchange(m_received, {}).size();
    for (qint64 dropped = 0;
         dropped < MostDiscardedAtOnce && m_protocol == Tcp && m_state == Connected && !m_inputEnded;) {
        int error = 0;
        const qint64 got = SocketCalls::receive(m_fd, scratch, sizeof scratch, error);
        if (got > 0) {
            count += got;
            dropped += got;
            continue;
        }
        // The end of input stays with the descriptor for the next readiness to find.
        if (got < 0 && error != EAGAIN) {
            failConnection(error);
            deliverLater();
        }
        break;
    }
    updateReading();
    return count;
}

// ---- Names and addresses ----

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
