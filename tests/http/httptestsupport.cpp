// Shared set-up of the HTTP suites.
#include "httptestsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// Wakes a waiting event pass now and then, so time limits are noticed.
constexpr int WakeIntervalMs = 5;
constexpr int ConnectTimeoutMs = 10000;
} // namespace

bool pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer wake;
    wake.start(WakeIntervalMs);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void pumpFor(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    pumpUntil([&] { return clock.elapsed() >= milliseconds; }, milliseconds + 1000);
}

TestServer::TestServer()
    : server(winsock1, tSendData, window)
{
    QDir(base.path()).mkdir(u"www"_s);
    server.setServerName(QString::fromLatin1(ServerName));
    server.setWebRoot(path());
    if (!winsock1.listener().listen())
        qFatal("cannot listen: %s", qPrintable(winsock1.listener().errorString()));
}

quint16 TestServer::port() const
{
    return winsock1.listener().localPort();
}

QString TestServer::path(const QString &relative) const
{
    const QString root = base.path() + u"/www"_s;
    return relative.isEmpty() ? root : root + u'/' + relative;
}

QByteArray TestServer::pathBytes(const QByteArray &relative) const
{
    const QByteArray root = QFile::encodeName(path());
    return relative.isEmpty() ? root : root + '/' + relative;
}

void TestServer::writeFile(const QByteArray &relative, const QByteArray &content) const
{
    const QByteArray target = pathBytes(relative);
    FILE *file = std::fopen(target.constData(), "wb");
    if (!file)
        qFatal("cannot create %s", target.constData());
    if (!content.isEmpty())
        std::fwrite(content.constData(), 1, size_t(content.size()), file);
    std::fclose(file);
}

void TestServer::makeFolder(const QByteArray &relative) const
{
    if (!QDir().mkpath(QFile::decodeName(pathBytes(relative))))
        qFatal("cannot create folder %s", relative.constData());
}

int TestServer::connectedSlots() const
{
    int count = 0;
    for (int i = 1; i <= winsock1.highestIndex(); ++i)
        count += winsock1.at(i)->state() == TcpConnection::Connected ? 1 : 0;
    return count;
}

QByteArray Response::header() const
{
    const qsizetype end = bytes.indexOf("\n\n");
    return end < 0 ? bytes : bytes.left(end + 2);
}

QByteArray Response::body() const
{
    const qsizetype end = bytes.indexOf("\n\n");
    return end < 0 ? QByteArray() : bytes.mid(end + 2);
}

QByteArray getRequest(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
}

Response exchange(quint16 port, const QByteArray &request, int timeoutMs)
{
    Client client(port);
    Response response;
    if (!client.waitConnected())
        return response;
    client.send(request);
    response.closedByServer = client.waitClosed(timeoutMs);
    response.bytes = client.received;
    return response;
}

Client::Client(quint16 port)
    : socket(new QTcpSocket)
{
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { received += socket->readAll(); });
    // Also a connection that is refused or reset ends up unconnected, without "disconnected".
    QObject::connect(socket, &QTcpSocket::stateChanged, socket, [this](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::UnconnectedState)
            return;
        if (socket->isOpen())
            received += socket->readAll();
        closed = true;
    });
    socket->connectToHost(u"127.0.0.1"_s, port);
}

Client::~Client()
{
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->abort();
    socket->deleteLater();
}

bool Client::waitConnected()
{
    return pumpUntil([this] { return socket->state() == QAbstractSocket::ConnectedState || closed; },
                     ConnectTimeoutMs)
        && !closed;
}

void Client::send(const QByteArray &data)
{
    socket->write(data);
}

bool Client::waitClosed(int timeoutMs)
{
    return pumpUntil([this] { return closed; }, timeoutMs);
}

void Client::abort()
{
    socket->abort();
}

void Client::reset()
{
    const linger hard {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
}

void Client::finishSending()
{
    socket->flush();
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
}

void Client::closeBothWays()
{
    ::shutdown(int(socket->socketDescriptor()), SHUT_RDWR);
}

int connectToLoopback(int fd, quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

int loopbackClient(quint16 port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (connectToLoopback(fd, port) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int openFileCount()
{
    return int(
        QDir(u"/proc/self/fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

QByteArray inNameOrder(const QByteArray &page)
{
    static const QRegularExpression items[] = {QRegularExpression(u"<a [^\\n]*<br>\\n"_s),
                                               QRegularExpression(u"<tr>\\n[^\\n]*\\n[^\\n]*\\n</tr>\\n"_s)};
    QString text = QString::fromLatin1(page);
    for (const QRegularExpression &item : items) {
        QStringList found;
        qsizetype first = -1;
        qsizetype end = -1;
        for (const QRegularExpressionMatch &match : item.globalMatch(text)) {
            found.append(match.captured());
            first = first < 0 ? match.capturedStart() : first;
            end = match.capturedEnd();
        }
        found.sort();
        if (first >= 0)
            text.replace(first, end - first, found.join(QString()));
    }
    return text.toLatin1();
}

IdleCrowd::IdleCrowd(quint16 port, int count)
{
    if ((m_child = ::fork()) != 0)
        return;
    // Only system calls from here: the parent's other threads do not exist in the child.
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    for (int i = 0; i < count; ++i)
        connectToLoopback(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), port);
    for (;;)
        ::pause();
}

IdleCrowd::~IdleCrowd()
{
    if (m_child > 0 && ::kill(m_child, SIGKILL) == 0)
        ::waitpid(m_child, nullptr, 0);
}
