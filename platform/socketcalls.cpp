// The system's socket calls for IPv4, non-blocking and close-on-exec.
#include "socketcalls.h"

#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>

#include <array>
#include <cstring>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace SocketCalls {

namespace {

constexpr int SocketFlags = SOCK_NONBLOCK | SOCK_CLOEXEC;
// Datagram bursts that arrive while a handler holds the event loop wait here. The kernel doubles
// it for its bookkeeping and counts about 830 bytes per small datagram: some 1,200 of them, 30 ms
// at 40,000 a second, or 15 of the largest (a dozen sent at once arrive while the first is
// echoed). More would only hold stale frames.
constexpr int DatagramReceiveBuffer = 512 * 1024;
constexpr int FallbackBacklog = SOMAXCONN;
// Datagrams handed over per system call; each costs the stack a message header and a piece.
constexpr int DatagramsPerCall = 256;
const char *const BacklogSetting = "/proc/sys/net/core/somaxconn";

sockaddr_in ipv4Address(quint32 ipv4, quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4);
    return address;
}

Opened failed(int fd)
{
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    return {-1, error};
}

bool bindTo(int fd, quint32 ipv4, quint16 port)
{
    const sockaddr_in address = ipv4Address(ipv4, port);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

} // namespace

Opened tcpListener(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SocketFlags, 0);
    if (fd < 0)
        return failed(fd);
    // A port whose last connections still linger in TIME_WAIT can be listened on again at once.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!bindTo(fd, INADDR_ANY, port) || ::listen(fd, listenBacklog()) != 0)
        return failed(fd);
    return {fd, 0};
}

Opened udpSocket(quint32 ipv4, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SocketFlags, 0);
    if (fd < 0)
        return failed(fd);
    // Beyond the system's limit only a privileged process may go; otherwise take what is allowed.
    const int size = DatagramReceiveBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // Datagrams the system drops when the queue is full are counted and told with the next one.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (!bindTo(fd, ipv4, port))
        return failed(fd);
    return {fd, 0};
}

Opened acceptConnection(int listener)
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SocketFlags);
        if (fd >= 0)
            return {fd, 0};
        if (errno != EINTR)
            return {-1, errno};
    }
}

int listenBacklog()
{
    QFile setting(QString::fromLatin1(BacklogSetting));
    if (setting.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int maximum = setting.readAll().trimmed().toInt(&ok);
        if (ok && maximum > 0)
            return maximum;
    }
    return FallbackBacklog;
}

quint16 boundPort(int fd)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

void fixSendBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void sendWithoutDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

qint64 receive(int fd, char *buffer, qint64 size, int &error)
{
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, size_t(size), 0);
        if (got >= 0)
            return got;
        if (errno != EINTR) {
            error = errno == EWOULDBLOCK ? EAGAIN : errno;
            return -1;
        }
    }
}

qint64 receiveDatagram(int fd, char *buffer, qint64 size, int &error, quint32 &dropped)
{
    iovec piece {buffer, size_t(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof dropped)];
    msghdr message {nullptr, 0, &piece, 1, control, sizeof control, 0};
    ssize_t got = -1;
    do
        got = ::recvmsg(fd, &message, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
    }
    return got;
}

qint64 sendStream(int fd, const char *data, qint64 size, int &error)
{
    for (;;) {
        // No SIGPIPE: a peer that has gone is an error to handle, not the end of the program.
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent >= 0)
            return sent;
        if (errno != EINTR) {
            error = errno == EWOULDBLOCK ? EAGAIN : errno;
            return -1;
        }
    }
}

qint64 sendDatagrams(int fd, QByteArrayView data, qsizetype size, quint32 ipv4, quint16 port)
{
    sockaddr_in target = ipv4Address(ipv4, port);
    std::array<mmsghdr, DatagramsPerCall> messages {};
    std::array<iovec, DatagramsPerCall> pieces {};
    const qint64 total = data.size() / size;
    qint64 sent = 0;
    for (qint64 next = 0; next < total;) {
        const int count = int(qMin<qint64>(DatagramsPerCall, total - next));
        for (int i = 0; i < count; ++i) {
            pieces[i] = {const_cast<char *>(data.data() + (next + i) * size), size_t(size)};
            messages[i].msg_hdr = {&target, sizeof target, &pieces[i], 1, nullptr, 0, 0};
        }
        const int done = ::sendmmsg(fd, messages.data(), unsigned(count), MSG_NOSIGNAL);
        if (done > 0)
            sent += done;
        next += qMax(done, 1);
    }
    return sent;
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

bool outOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

QString describe(int error)
{
    switch (error) {
    case EADDRINUSE: return u"Port wird bereits verwendet"_s;
    case EACCES:
    case EPERM: return u"keine Berechtigung"_s;
    case EADDRNOTAVAIL: return u"Adresse gehört nicht zu diesem Rechner"_s;
    default:
        if (outOfDescriptors(error))
            return u"keine Sockets mehr frei"_s;
        return u"Netzwerkfehler ("_s + qt_error_string(error) + u")"_s;
    }
}

QString localHostName()
{
    return QHostInfo::localHostName();
}

QString localIpAddress()
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

QHostAddress resolveIPv4(const QString &host)
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

} // namespace SocketCalls
