// The system's socket calls for IPv4, non-blocking and close-on-exec, with errno kept as a value.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QByteArrayView>
#include <QtGlobal>

namespace SocketCalls {

// A descriptor, or -1 with the system's error number.
struct Opened
{
    int fd = -1;
    int error = 0;
};

// A TCP socket listening on `port` (0: any free one) of every local IPv4 address.
Opened tcpListener(quint16 port);
// A UDP socket bound to `ipv4` (host byte order) and `port`, with a receive queue large
// enough to ride out a short busy spell of the event loop, and no larger.
Opened udpSocket(quint32 ipv4, quint16 port);
// The next waiting connection of a listener; -1 with the error when none can be taken.
Opened acceptConnection(int listener);
// The connection requests the kernel may keep waiting for one listener: the system's maximum.
int listenBacklog();

quint16 boundPort(int fd);
// Fixes the system's send buffer of a connection at about `bytes` (it no longer grows by itself).
void fixSendBuffer(int fd, int bytes);
// Small pieces go out at once instead of waiting for the peer to acknowledge the last one.
void sendWithoutDelay(int fd);

// Both return the byte count, or -1 with `error` set (EAGAIN when nothing can be done now).
qint64 receive(int fd, char *buffer, qint64 size, int &error);
qint64 sendStream(int fd, const char *data, qint64 size, int &error);
// One datagram, as receive(); `dropped` then holds how many datagrams the system has dropped for
// this socket, since it was made, because its queue was full.
qint64 receiveDatagram(int fd, char *buffer, qint64 size, int &error, quint32 &dropped);
// Every `size` bytes of `data` as a datagram of its own, in order, many to a system call; one the
// system refuses is dropped as a single send would drop it. Answers how many went out.
qint64 sendDatagrams(int fd, QByteArrayView data, qsizetype size, quint32 ipv4, quint16 port);

void closeDescriptor(int fd);

// True for the errors that mean "no descriptor or buffer left", which pass when one frees.
bool outOfDescriptors(int error);
// The error in German, as the window shows it.
QString describe(int error);

QString localHostName();
QString localIpAddress();
// "localhost" is taken as 127.0.0.1; other names are looked up, IPv4 first.
QHostAddress resolveIPv4(const QString &host);

} // namespace SocketCalls
