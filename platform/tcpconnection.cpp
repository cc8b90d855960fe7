// A stream connection over a non-blocking descriptor watched by socket notifiers. Hand-written
// rather than a QTcpSocket because the peer's end of sending must be told apart from a failure
// (a client that half-closes after its request is still answered), and because the object must
// outlive handlers that let events run while its events keep their order.
#include "tcpconnection.h"

#include "socketcalls.h"
#include "tcplistener.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <utility>

namespace {

// Input is read in pieces of this size, and at most this much per readiness, so that one
// busy peer cannot hold the event loop.
constexpr qint64 ReadPiece = 64 * 1024;
constexpr qint64 MostReadPerPass = 256 * 1024;
// Sent bytes are cut off the front of the queue only now and then, not per write.
constexpr qsizetype CompactAfter = 64 * 1024;
// What the peer has sent up to a discard is in the kernel's queue, which is never larger.
constexpr qint64 MostDiscardedAtOnce = 16 * 1024 * 1024;
// The system's send buffer of a connection with a send limit; it grows by itself otherwise.
constexpr int LimitedSendBuffer = 64 * 1024;

// Reads never nest, so one buffer serves every connection.
char scratch[ReadPiece];

} // namespace

TcpConnection::TcpConnection(QObject *parent)
    : QObject(parent)
    , m_readNotifier(new QSocketNotifier(QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(QSocketNotifier::Write, this))
    , m_reportWritten(new QTimer(this))
{
    // A timer of 0 ms runs in the next pass without waking the loop, as posting an event would.
    m_reportWritten->setSingleShot(true);
    m_reportWritten->setInterval(0);
    connect(m_reportWritten, &QTimer::timeout, this, &TcpConnection::reportWritten);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TcpConnection::onReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TcpConnection::onWritable);
}

TcpConnection::~TcpConnection()
{
    releaseDescriptor();
}

bool TcpConnection::accept(TcpListener &listener, qint64 requestId)
{
    const int connection = listener.takeRequest(requestId);
    if (connection < 0)
        return false;
    releaseDescriptor();
    if (m_sendLimit > 0)
        SocketCalls::fixSendBuffer(connection, LimitedSendBuffer);
    if (m_sendWithoutDelay)
        SocketCalls::sendWithoutDelay(connection);
    m_fd = connection;
    ++m_generation;
    m_state = Connected;
    m_readNotifier->setSocket(m_fd);
    m_readNotifier->setEnabled(true);
    // Watched only while something waits to be sent.
    m_writeNotifier->setSocket(m_fd);
    return true;
}

// Forgets everything of the last connection. The delivery loop is left alone: it belongs to a
// caller further up the stack, which finishes it.
void TcpConnection::releaseDescriptor()
{
    if (m_fd >= 0) {
        // Off before the number is given back: the system may hand it to the next socket at once.
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        SocketCalls::closeDescriptor(std::exchange(m_fd, -1));
        ++m_generation;
    }
    m_state = Closed;
    m_received.clear();
    m_inputEnded = false;
    m_outgoing.clear();
    m_outgoingOffset = 0;
    m_writtenUnreported = 0;
    m_reportWritten->stop();
    m_dataPending = false;
    m_endPending = false;
    m_failurePending = false;
}

void TcpConnection::close()
{
    const bool hadConnection = m_state != Closed;
    releaseDescriptor();
    if (hadConnection)
        emit released();
}

// ---- Readiness: activations are hints; the descriptor decides what is really there ----

void TcpConnection::onReadable()
{
    if (m_fd < 0 || m_readNotifier->socket() != m_fd || m_state != Connected)
        return;
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
                fail();
            break;
        }
    }
    if (m_received.size() > before)
        m_dataPending = true;
    updateReading();
    deliverEvents();
}

void TcpConnection::updateReading()
{
    if (m_state != Connected || m_fd < 0)
        return;
    const bool room = m_receiveLimit <= 0 || m_received.size() < m_receiveLimit;
    m_readNotifier->setEnabled(room && !m_inputEnded);
}

void TcpConnection::onWritable()
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
bool TcpConnection::writeWaiting()
{
    while (bytesToWrite() > 0) {
        int error = 0;
        const qint64 sent
            = SocketCalls::sendStream(m_fd, m_outgoing.constData() + m_outgoingOffset, bytesToWrite(), error);
        if (sent < 0) {
            if (error == EAGAIN)
                break;
            fail();
            return false;
        }
        m_outgoingOffset += sent;
        m_writtenUnreported += sent;
    }
    compactOutgoing();
    m_writeNotifier->setEnabled(bytesToWrite() > 0);
    return true;
}

void TcpConnection::reportWritten()
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

void TcpConnection::compactOutgoing()
{
    if (m_outgoingOffset == m_outgoing.size()) {
        m_outgoing.clear();
        m_outgoingOffset = 0;
    } else if (m_outgoingOffset >= CompactAfter && m_outgoingOffset * 2 >= m_outgoing.size()) {
        m_outgoing.remove(0, m_outgoingOffset);
        m_outgoingOffset = 0;
    }
}

// The descriptor is kept (state Failed) until the owner closes it, as a slot is freed only by
// its own close; what was queued for sending can never go out and is dropped now.
void TcpConnection::fail()
{
    m_state = Failed;
    m_inputEnded = true;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_outgoing.clear();
    m_outgoingOffset = 0;
    m_failurePending = true;
}

void TcpConnection::deliverEvents()
{
    if (m_delivering)
        return;
    m_delivering = true;
    for (;;) {
        if (std::exchange(m_dataPending, false)) {
            if (!m_received.isEmpty())
                emit dataArrival(m_received.size());
        } else if (std::exchange(m_endPending, false)) {
            emit inputEnded();
        } else if (std::exchange(m_failurePending, false)) {
            emit failed();
        } else {
            break;
        }
    }
    m_delivering = false;
}

void TcpConnection::deliverLater()
{
    QMetaObject::invokeMethod(this, &TcpConnection::deliverEvents, Qt::QueuedConnection);
}

// ---- What the handlers call ----

qint64 TcpConnection::send(const QByteArray &data)
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

QByteArray TcpConnection::takeAll()
{
    QByteArray all = std::exchange(m_received, {});
    updateReading();
    return all;
}

void TcpConnection::setReceiveLimit(qint64 bytes)
{
    m_receiveLimit = bytes;
    updateReading();
}

qint64 TcpConnection::discardReceived()
{
    qint64 count = std::exchange(m_received, {}).size();
    for (qint64 dropped = 0; dropped < MostDiscardedAtOnce && m_state == Connected && !m_inputEnded;) {
        int error = 0;
        const qint64 got = SocketCalls::receive(m_fd, scratch, sizeof scratch, error);
        if (got > 0) {
            count += got;
            dropped += got;
            continue;
        }
        // The end of input stays with the descriptor for the next readiness to find.
        if (got < 0 && error != EAGAIN) {
            fail();
            deliverLater();
        }
        break;
    }
    updateReading();
    return count;
}
