// UDP over a non-blocking descriptor. Hand-written rather than a QUdpSocket for what it cannot
// give: the count of datagrams the system dropped (told with the next one received), many
// datagrams handed over per system call, and a receive queue bounded by bytes.
#include "udpsocket.h"

#include "socketcalls.h"

#include <QHostAddress>
#include <QSocketNotifier>

using namespace Qt::Literals::StringLiterals;

namespace {

// The largest datagram.
constexpr qint64 DatagramRoom = 64 * 1024;
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

// Reads never nest, so one buffer serves every socket.
char scratch[DatagramRoom];

} // namespace

UdpSocket::UdpSocket(QObject *parent)
    : QObject(parent)
{
}

UdpSocket::~UdpSocket()
{
    close();
}

bool UdpSocket::bind(quint16 localPort, const QString &localHost)
{
    close();
    const QHostAddress address = SocketCalls::resolveIPv4(localHost);
    if (address.isNull())
        return fail(u"Host nicht gefunden: "_s + localHost);
    return open(address.toIPv4Address(), localPort);
}

bool UdpSocket::setDestination(const QString &remoteHost, quint16 remotePort)
{
    const QHostAddress address = SocketCalls::resolveIPv4(remoteHost);
    if (address.isNull())
        return fail(u"Host nicht gefunden: "_s + remoteHost);
    if (m_fd < 0 && !open(0, 0))
        return false;
    m_remoteAddress = address.toIPv4Address();
    m_remotePort = remotePort;
    return true;
}

bool UdpSocket::open(quint32 ipv4, quint16 port)
{
    const SocketCalls::Opened socket = SocketCalls::udpSocket(ipv4, port);
    if (socket.fd < 0)
        return fail(SocketCalls::describe(socket.error));
    m_fd = socket.fd;
    m_localPort = SocketCalls::boundPort(m_fd);
    // A notifier per descriptor: the system may hand a closed one's number to the next socket.
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readable, &QSocketNotifier::activated, this, &UdpSocket::receiveDatagrams);
    return true;
}

// The socket is left closed, so that the next attempt sets it up anew.
bool UdpSocket::fail(const QString &reason)
{
    close();
    m_error = reason;
    return false;
}

void UdpSocket::close()
{
    if (m_fd >= 0) {
        // Deleted later: close() may come from a handler inside this notifier's own signal.
        m_readable->setEnabled(false);
        std::exchange(m_readable, nullptr)->deleteLater();
        SocketCalls::closeDescriptor(std::exchange(m_fd, -1));
    }
    m_remotePort = 0;
    m_datagrams.clear();
    m_datagramBytes = 0;
    m_droppedDatagrams = 0;
    m_droppedBySystem = 0;
    m_datagram.clear();
}

void UdpSocket::receiveDatagrams()
{
    for (int taken = 0; taken < MostDatagramsPerPass && m_fd >= 0; ++taken) {
        int error = 0;
        quint32 droppedBySystem = m_droppedBySystem;
        const qint64 got = SocketCalls::receiveDatagram(m_fd, scratch, sizeof scratch, error, droppedBySystem);
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
    deliverDatagrams();
}

void UdpSocket::deliverDatagrams()
{
    if (m_delivering)
        return;
    m_delivering = true;
    while (!m_datagrams.isEmpty()) {
        m_datagram = m_datagrams.dequeue();
        m_datagramBytes -= m_datagram.size() + DatagramOverhead;
        emit dataArrival(m_datagram.size());
        // A handler that did not take the datagram still leaves with it gone.
        m_datagram.clear();
    }
    m_delivering = false;
}

qint64 UdpSocket::sendDatagrams(const QByteArray &data, qsizetype size)
{
    if (m_fd < 0 || m_remotePort == 0)
        return -1;
    return SocketCalls::sendDatagrams(m_fd, data, size, m_remoteAddress, m_remotePort);
}
