// Many clients, clients that leave early, idle clients, and files past 2 GiB.
#include "httptestsupport.h"
#include "openfilelimit.h"
#include "pinnedlocale.h"
#include "processusage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int Batch = 50;

QByteArray served(const QByteArray &content)
{
    return answerHeader("*/*", content.size()) + content;
}

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 31) ^ (i >> 9));
    return bytes;
}

bool allSlotsIdle(const TestServer &server)
{
    for (const ConnSlot &slot : server.server.ConnSlots()) {
        if (slot.FileNr != 0 || slot.File)
            return false;
    }
    return server.connectedSlots() == 0;
}

// Reads a response without keeping it: the header, the body's length and the bytes at chosen places.
class StreamingClient
{
public:
    StreamingClient(quint16 port, const QByteArray &request, QMap<qint64, QByteArray> probes)
        : m_probes(std::move(probes))
    {
        QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket,
                         [this, request] { m_socket.write(request); });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] { take(); });
        QObject::connect(&m_socket, &QTcpSocket::disconnected, &m_socket, [this] {
            take();
            done = true;
        });
        m_socket.setReadBufferSize(0);
        m_socket.connectToHost(u"127.0.0.1"_s, port);
    }

    QByteArray header;
    qint64 bodyBytes = 0;
    QMap<qint64, QByteArray> seen;
    bool done = false;

private:
    void take()
    {
        QByteArray data = m_socket.readAll();
        if (header.isEmpty() || !header.endsWith("\n\n")) {
            header += data;
            const qsizetype end = header.indexOf("\n\n");
            if (end < 0)
                return;
            data = header.mid(end + 2);
            header.truncate(end + 2);
        }
        for (auto it = m_probes.cbegin(); it != m_probes.cend(); ++it) {
            const qint64 offset = it.key() - bodyBytes;
            if (offset >= 0 && offset < data.size())
                seen[it.key()] += data.mid(offset, it.value().size());
            else if (offset < 0 && seen.contains(it.key()) && seen[it.key()].size() < it.value().size())
                seen[it.key()] += data.left(it.value().size() - seen[it.key()].size());
        }
        bodyBytes += data.size();
    }

    QTcpSocket m_socket;
    QMap<qint64, QByteArray> m_probes;
};

// Lowers the limit of open files for as long as it lives.
class OpenFileLimitOf
{
public:
    explicit OpenFileLimitOf(rlim_t limit)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = limit;
        m_ok = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~OpenFileLimitOf() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    bool ok() const { return m_ok; }

private:
    rlimit m_saved {};
    bool m_ok = false;
};

// A client on a raw descriptor, so that it is made before the limit and costs nothing after.
struct RawClient
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    QByteArray received;
    bool ended = false;

    ~RawClient() { ::close(fd); }
    void connectTo(quint16 port) const { connectToLoopback(fd, port); }
    bool connected() const
    {
        pollfd ready {fd, POLLOUT, 0};
        return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
    }
    void send(const QByteArray &data) const
    {
        ::send(fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL);
    }
    void reset() const
    {
        const linger hard {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::shutdown(fd, SHUT_RDWR);
    }
    // Takes what has come; true once the server has closed.
    bool poll()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            received.append(buffer, n);
        pollfd ready {fd, POLLIN, 0};
        ended = ended || (::poll(&ready, 1, 0) == 1 && ::recv(fd, buffer, 1, MSG_DONTWAIT | MSG_PEEK) == 0);
        return ended;
    }
};

} // namespace

class TestHttpRobustness : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void clientsLeavingMidFileLeaveNoOpenFiles();
    void idleConnectionsDoNotBlockOthers();
    void concurrentClientsGetIdenticalBytes();
    void fileBeyond2GiBIsServedWhole();
    void fileTooBigToCountIsNotFound();
    void atTheOpenFileLimitClientsWaitAndTheServerRests();
    void idleAndStalledConnectionsAreClosed();
};

void TestHttpRobustness::initTestCase()
{
    QVERIFY(OpenFileLimit::raiseToHardLimit() >= 2 * 1000 + 100);
}

void TestHttpRobustness::clientsLeavingMidFileLeaveNoOpenFiles()
{
    TestServer server;
    server.writeFile("big.bin", pattern(1024 * 1024));
    server.writeFile("a.txt", "warm");
    QCOMPARE(exchange(server.port(), getRequest("/a.txt")).bytes, served("warm"));
    QVERIFY(pumpUntil([&] { return allSlotsIdle(server); }));
    const int before = openFileCount();

    for (int round = 0; round < 500 / Batch; ++round) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < Batch; ++i) {
            clients.push_back(std::make_unique<Client>(server.port()));
            clients.back()->send(getRequest("/big.bin"));
        }
        QVERIFY(pumpUntil([&] {
            return std::all_of(clients.begin(), clients.end(),
                               [](const auto &client) { return client->received.size() > 4096; });
        }));
        for (const auto &client : clients)
            client->abort();
        clients.clear();
        QVERIFY(pumpUntil([&] { return allSlotsIdle(server); }));
    }
    QVERIFY(pumpUntil([&] { return openFileCount() <= before; }, 5000));
    QCOMPARE(exchange(server.port(), getRequest("/a.txt")).bytes, served("warm"));
}

void TestHttpRobustness::idleConnectionsDoNotBlockOthers()
{
    constexpr int Idle = 1000;
    TestServer server;
    const QByteArray content = pattern(100'000);
    server.writeFile("file.bin", content);
    std::vector<std::unique_ptr<Client>> idle;
    while (idle.size() < Idle) {
        for (int i = 0; i < Batch; ++i)
            idle.push_back(std::make_unique<Client>(server.port()));
        QVERIFY(pumpUntil([&] { return server.connectedSlots() == int(idle.size()); }));
    }
    const Response response = exchange(server.port(), getRequest("/file.bin"));
    QVERIFY(response.closedByServer);
    QVERIFY(response.bytes == served(content));
    QCOMPARE(server.winsock1.highestIndex(), Idle + 1);
    idle.clear();
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 0; }));
}

void TestHttpRobustness::concurrentClientsGetIdenticalBytes()
{
    TestServer server;
    const QByteArray content = pattern(300'000);
    server.writeFile("shared.bin", content);
    server.makeFolder("dir");
    server.writeFile("dir/x", "x");
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(std::make_unique<Client>(server.port()));
        clients.back()->send(getRequest(i % 4 == 0 ? "/dir/" : "/shared.bin"));
    }
    QVERIFY(pumpUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [](const auto &client) { return client->closed; });
    }));
    const QByteArray page = clients[0]->received;
    QVERIFY(page.contains("<a href=\"/dir/x\">x</a>"));
    for (size_t i = 0; i < clients.size(); ++i)
        QVERIFY2(clients[i]->received == (i % 4 == 0 ? page : served(content)),
                 qPrintable(QString::number(i)));
}

void TestHttpRobustness::fileTooBigToCountIsNotFound()
{
    // tmpfs takes a sparse file of the largest length there is.
    QTemporaryDir shm(u"/dev/shm/quenvar-test-XXXXXX"_s);
    if (!shm.isValid())
        QSKIP("no /dev/shm for a sparse file of 2^63 - 1 bytes");
    {
        QFile file(shm.filePath(u"huge"_s));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(std::numeric_limits<qint64>::max()))
            QSKIP("this file system takes no file of 2^63 - 1 bytes");
    }
    TestServer server;
    server.server.setWebRoot(shm.path());
    const Response response = exchange(server.port(), getRequest("/huge"));
    QCOMPARE(response.bytes, NotFoundAnswer);
}

void TestHttpRobustness::fileBeyond2GiBIsServedWhole()
{
    PinnedLocale german;
    TestServer server;
    // Pieces of 4 MiB keep 2 GiB to a few hundred ticks; the counting is the same.
    server.server.setPieceSize(4 * 1024 * 1024);
    const qint64 length = (qint64(1) << 31) + 4096;
    const qint64 across = (qint64(1) << 31) - 2;
    {
        QFile file(server.path(u"big"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(length));
        for (const auto &[at, mark] :
             {std::pair {qint64(0), "HEAD"}, std::pair {across, "MID!"}, std::pair {length - 4, "TAIL"}}) {
            QVERIFY(file.seek(at));
            QCOMPARE(file.write(mark), 4);
        }
    }
    const QMap<qint64, QByteArray> probes {{0, "HEAD"}, {across, "MID!"}, {length - 4, "TAIL"}};
    StreamingClient client(server.port(), getRequest("/big"), probes);
    QVERIFY(pumpUntil([&] { return client.done; }, 120'000));

    QCOMPARE(client.header, answerHeader("*/*", length));
    QCOMPARE(client.bodyBytes, length);
    QCOMPARE(client.seen, probes);

    // Every progress line counts on past 2^31 against the same 64-bit total.
    static const QRegularExpression line(
        u"^Transfering: /big - (\\d+) of (\\d+) bytes sent \\((\\d+,\\d\\d)% Done\\)\\.$"_s);
    qint64 previous = 0;
    int pastTwoGiB = 0;
    for (const QString &text : std::as_const(server.window.texts)) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch())
            continue;
        const qint64 sent = match.captured(1).toLongLong();
        QVERIFY(sent > previous);
        QCOMPARE(match.captured(2).toLongLong(), length);
        const QString percent = QLocale().toString(double(sent) / double(length) * 100.0, 'f', 2);
        QCOMPARE(match.captured(3), percent.size() < 5 ? u"0"_s + percent : percent);
        pastTwoGiB += sent > (qint64(1) << 31) ? 1 : 0;
        previous = sent;
    }
    QVERIFY(pastTwoGiB > 0);
    QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
}

void TestHttpRobustness::atTheOpenFileLimitClientsWaitAndTheServerRests()
{
    constexpr int Held = 4;
    constexpr int Waiting = 2;
    TestServer server;
    server.writeFile("a.txt", "hello");
    std::vector<std::unique_ptr<RawClient>> held;
    std::vector<std::unique_ptr<RawClient>> waiting;
    for (int i = 0; i < Held; ++i)
        held.push_back(std::make_unique<RawClient>());
    for (int i = 0; i < Waiting; ++i)
        waiting.push_back(std::make_unique<RawClient>());
    {
        // Room for exactly the held connections, whatever gaps the numbers in use leave; every
        // client descriptor exists already.
        std::vector<int> room;
        for (int i = 0; i < Held; ++i)
            room.push_back(::dup(0));
        const int limitNumber = room.back() + 1;
        for (const int fd : room)
            ::close(fd);
        OpenFileLimitOf limit {rlim_t(limitNumber)};
        QVERIFY(limit.ok());
        for (const auto &client : held)
            client->connectTo(server.port());
        QVERIFY(pumpUntil([&] { return server.connectedSlots() == Held; }, 5000));
        for (const auto &client : waiting)
            client->connectTo(server.port());
        QVERIFY(pumpUntil([&] { return waiting[0]->connected() && waiting[1]->connected(); }, 5000));
        for (const auto &client : waiting)
            client->send(getRequest("/missing"));

        // Nothing can be accepted now: the server waits instead of trying again and again.
        const qint64 cpuBefore = cpuMicroseconds();
        pumpFor(1000);
        const qint64 cpuSpent = (cpuMicroseconds() - cpuBefore) / 1000;
        QVERIFY2(cpuSpent < 150, qPrintable(QString::number(cpuSpent)));
        QVERIFY(!waiting[0]->poll() && !waiting[1]->poll());
        QCOMPARE(server.connectedSlots(), Held);

        // One descriptor frees: one waiting client is served; the rest when the others free.
        held[0]->reset();
        QVERIFY(pumpUntil([&] { return waiting[0]->poll() || waiting[1]->poll(); }, 5000));
        for (size_t i = 1; i < held.size(); ++i)
            held[i]->reset();
        QVERIFY(pumpUntil([&] { return waiting[0]->poll() && waiting[1]->poll(); }, 5000));
    }
    for (const auto &client : waiting)
        QCOMPARE(client->received, NotFoundAnswer);
    QCOMPARE(exchange(server.port(), getRequest("/a.txt")).body(), QByteArray("hello"));
}

void TestHttpRobustness::idleAndStalledConnectionsAreClosed()
{
    constexpr qsizetype Size = 16 * 1024 * 1024;
    TestServer server;
    server.server.setRequestTimeout(std::chrono::milliseconds(300));
    server.server.setStallTimeout(std::chrono::milliseconds(300));
    server.server.setPieceSize(64 * 1024);
    server.writeFile("big.bin", pattern(Size));
    Client idle(server.port());
    Client trickling(server.port());
    trickling.send("GET /big.bin");
    // Asks for the file and never reads it.
    const int stalled = loopbackClient(server.port(), 4096);
    ::send(stalled, "GET /big.bin HTTP/1.0\n\n", 23, MSG_NOSIGNAL);
    QVERIFY(idle.waitClosed(5000) && trickling.waitClosed(5000));
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 0; }, 5000));
    ::close(stalled);
    QVERIFY(idle.received.isEmpty() && trickling.received.isEmpty());
    QCOMPARE(exchange(server.port(), getRequest("/big.bin")).body().size(), Size);
}

QTEST_GUILESS_MAIN(TestHttpRobustness)
#include "tst_httprobustness.moc"
