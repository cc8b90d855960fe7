// The server over real sockets: slots, answers, pieces, progress texts and the mended faults.
#include "httptestsupport.h"
#include "listing.h"
#include "openfilelimit.h"
#include "pinnedlocale.h"

#include <QRegularExpression>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray allBytes()
{
    QByteArray bytes(256, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i);
    return bytes;
}

// The listing pages of the tree that makeTree builds.
const QByteArray RootPage = FoldersStart + folderLine("/sub", "sub") + FileTableStart
    + fileRow("/a.txt", "a.txt", "0") + fileRow("/Foto.JPG", "Foto.JPG", "0")
    + fileRow("/my file.txt", "my file.txt", "0") + fileRow("/a%252Fb", "a%2Fb", "0") + FileTableEnd;
const QByteArray SubPage
    = "<html><body>" + FileTableStart + fileRow("/sub/inner.mp3", "inner.mp3", "3") + FileTableEnd;

void makeTree(const TestServer &tree)
{
    tree.writeFile("a.txt", "hello");
    tree.writeFile("Foto.JPG", allBytes());
    tree.writeFile("my file.txt", "spaced");
    tree.writeFile("a%2Fb", "literal");
    tree.makeFolder("sub");
    tree.writeFile("sub/inner.mp3", QByteArray(3000, 'm'));
}

// Byte counts the socket of each slot reported, in order.
struct SendLog
{
    explicit SendLog(SocketArray &sockets)
    {
        QObject::connect(&sockets, &SocketArray::sendProgress, &sockets,
                         [this](int index, qint64 bytes) { sent[index].append(bytes); });
    }
    QHash<int, QList<qint64>> sent;
};

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstConnectionCreatesSlotOne();
    void lowestFreeSlotIsReusedBeforeThePoolGrows();
    void answers_data();
    void answers();
    void filePieces_data();
    void filePieces();
    void pageOfExactly4096IsSentInTwoPieces();
    void statusTextsOfAFileTransfer();
    void noProgressLineForPagesAndNotFound();
    void emptyFileShowsTheErrorLineThenCloses();
    void splitRequestIsAnswered_data();
    void splitRequestIsAnswered();
    void unmatchedRequestGetsNoAnswer_data();
    void unmatchedRequestGetsNoAnswer();
    void requestPathLimitIs4096();
    void dataAfterTheRequestIsIgnored();
    void fileThatCannotBeOpenedIsNotFound();
    void fileThatShrinksEndsTheTransfer();
    void reusedSlotStartsClean();
    void closingSlotZeroResetsTheButtons();
    void closingAConnectionSlotKeepsTheButtons();
    void noSlotLeftRefusesTheConnection();
    void halfClosingClientsGetTheWholeAnswer_data();
    void halfClosingClientsGetTheWholeAnswer();
    void clientGoneMidAnswerFreesItsSlotAndFile_data();
    void clientGoneMidAnswerFreesItsSlotAndFile();
};

void TestHttpServer::initTestCase()
{
    OpenFileLimit::raiseToHardLimit();
}

void TestHttpServer::firstConnectionCreatesSlotOne()
{
    TestServer server;
    QCOMPARE(server.server.ConnSlots().size(), size_t(0));
    Client client(server.port());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    QCOMPARE(server.server.ConnSlots().size(), size_t(2));
    QCOMPARE(server.winsock1.highestIndex(), 1);
    QCOMPARE(server.tSendData.highestIndex(), 1);
    QVERIFY(!server.tSendData.isEnabled(1));
    QCOMPARE(server.winsock1.at(1)->state(), TcpConnection::Connected);
}

void TestHttpServer::lowestFreeSlotIsReusedBeforeThePoolGrows()
{
    TestServer server;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 1; i <= 3; ++i) {
        clients.push_back(std::make_unique<Client>(server.port()));
        QVERIFY(pumpUntil([&] { return server.connectedSlots() == i; }));
    }
    clients[1]->abort();
    QVERIFY(pumpUntil([&] { return server.winsock1.at(2)->state() == TcpConnection::Closed; }));
    QCOMPARE(server.window.texts.last(), u"WinSock 2 closed"_s);

    Client again(server.port());
    QVERIFY(pumpUntil([&] { return server.winsock1.at(2)->state() == TcpConnection::Connected; }));
    QCOMPARE(server.winsock1.highestIndex(), 3);
    Client fourth(server.port());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 4; }));
    QCOMPARE(server.winsock1.highestIndex(), 4);
    QCOMPARE(server.server.ConnSlots().size(), size_t(5));
    QCOMPARE(server.tSendData.highestIndex(), 4);
}

void TestHttpServer::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray root = answerHeader("text/html", RootPage.size()) + RootPage;
    const QByteArray sub = answerHeader("text/html", SubPage.size()) + SubPage;
    QTest::newRow("root listing") << QByteArray("GET / HTTP/1.0\n") << root;
    QTest::newRow("folder without slash") << getRequest("/sub") << sub;
    QTest::newRow("folder with doubled separators") << getRequest("//sub//") << sub;
    QTest::newRow("text file") << QByteArray("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n")
                               << answerHeader("*/*", 5) + "hello";
    QTest::newRow("binary file, type by lowered extension")
        << getRequest("/Foto.JPG") << answerHeader("image/jpeg", 256) + allBytes();
    QTest::newRow("%20 names a space") << getRequest("/my%20file.txt") << answerHeader("*/*", 6) + "spaced";
    QTest::newRow("a name with %2F in it") << getRequest("/a%252Fb") << answerHeader("*/*", 7) + "literal";
    QTest::newRow("nested file") << getRequest("/sub/inner.mp3")
                                 << answerHeader("audio/mpeg", 3000) + QByteArray(3000, 'm');
    QTest::newRow("missing") << getRequest("/missing") << NotFoundAnswer;
    QTest::newRow("empty path") << QByteArray("GET  HTTP/1.0\n") << NotFoundAnswer;
    QTest::newRow("query") << getRequest("/a.txt?x=1") << NotFoundAnswer;
    QTest::newRow("parent") << getRequest("/../www/a.txt") << NotFoundAnswer;
    QTest::newRow("file with trailing slash") << getRequest("/a.txt/") << NotFoundAnswer;
}

void TestHttpServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    TestServer server;
    makeTree(server);
    const Response response = exchange(server.port(), request);
    QVERIFY(response.closedByServer);
    // Pages in name order, as the file system lists in an order of its own.
    QCOMPARE(inNameOrder(response.bytes), inNameOrder(expected));
    QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
    const ConnSlot &slot = server.server.ConnSlots().at(1);
    QCOMPARE(slot.FileNr, qint16(0));
    QCOMPARE(slot.ResponseSize, qint64(0));
    QCOMPARE(slot.SentBytes, qint64(0));
}

void TestHttpServer::filePieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<qint64>>("pieces");

    QTest::newRow("empty") << 0 << QList<qint64> {};
    QTest::newRow("one byte") << 1 << QList<qint64> {1};
    QTest::newRow("one piece") << 2048 << QList<qint64> {2048};
    QTest::newRow("one more byte, two pieces") << 2049 << QList<qint64> {2048, 1};
    QTest::newRow("several") << 7000 << QList<qint64> {2048, 2048, 2048, 856};
}

void TestHttpServer::filePieces()
{
    QFETCH(int, size);
    QFETCH(QList<qint64>, pieces);
    TestServer server;
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 7 + i / 256);
    server.writeFile("f.bin", content);
    SendLog log(server.winsock1);

    const Response response = exchange(server.port(), getRequest("/f.bin"));
    const QByteArray header = answerHeader("*/*", size);
    QCOMPARE(response.bytes, header + content);
    QCOMPARE(log.sent.value(1), QList<qint64> {header.size()} + pieces);
}

void TestHttpServer::pageOfExactly4096IsSentInTwoPieces()
{
    // Eight long names and one tuned name and size make the page exactly 4096 characters.
    QList<ListingEntry> entries;
    for (int i = 0; i < 8; ++i)
        entries.append({QByteArray::number(i) + QByteArray(200, 'n'), false, 0});
    bool found = false;
    for (int length = 1; length < 250 && !found; ++length) {
        for (const qint64 size : {qint64(0), qint64(10240)}) {
            QList<ListingEntry> candidate = entries;
            candidate.append({QByteArray(length, 'z'), false, size});
            if (Listing::page("/p/", candidate, '.').size() == 4096) {
                entries = candidate;
                found = true;
                break;
            }
        }
    }
    QVERIFY(found);
    TestServer server;
    server.makeFolder("p");
    for (const ListingEntry &entry : entries)
        server.writeFile("p/" + entry.name, QByteArray(entry.size, 's'));
    SendLog log(server.winsock1);
    QList<qint16> fileNrAfterTick;
    connect(&server.tSendData, &TimerArray::tick, this,
            [&](int index) { fileNrAfterTick.append(server.server.ConnSlots().at(size_t(index)).FileNr); });

    const Response response = exchange(server.port(), getRequest("/p/"));
    QCOMPARE(response.body().size(), 4096);
    QCOMPARE(log.sent.value(1), (QList<qint64> {response.header().size(), 2048, 2048}));
    QCOMPARE(fileNrAfterTick, (QList<qint16> {-1, 0}));
}

void TestHttpServer::statusTextsOfAFileTransfer()
{
    PinnedLocale german;
    TestServer server;
    // A header of exactly 100 bytes for a file of 2050 bytes.
    server.server.setServerName(u"Lorvane HTTP Server Version 1.00 de"_s);
    server.writeFile("b", QByteArray(2050, 'b'));
    const Response response = exchange(server.port(), getRequest("/b"));
    QCOMPARE(response.header().size(), 100);
    QCOMPARE(response.body(), QByteArray(2050, 'b'));
    QCOMPARE(server.window.texts,
             (QStringList {
                 u"HTTP-Anfrage erhalten"_s,
                 u"Transfering: /b"_s,
                 u"Transfering: /b - 100 of 2050 bytes sent (04,88% Done)."_s,
                 u"Transfering: /b - 2148 of 2050 bytes sent (104,78% Done)."_s,
                 u"WinSock 1 closed"_s,
             }));
}

void TestHttpServer::noProgressLineForPagesAndNotFound()
{
    TestServer server;
    makeTree(server);
    for (const QByteArray &path : {QByteArray("/"), QByteArray("/sub/"), QByteArray("/nothing")})
        QVERIFY(exchange(server.port(), getRequest(path)).closedByServer);
    QCOMPARE(server.window.texts,
             (QStringList {u"HTTP-Anfrage erhalten"_s, u"WinSock 1 closed"_s, u"HTTP-Anfrage erhalten"_s,
                           u"WinSock 1 closed"_s, u"HTTP-Anfrage erhalten"_s, u"WinSock 1 closed"_s}));
}

void TestHttpServer::emptyFileShowsTheErrorLineThenCloses()
{
    TestServer server;
    server.writeFile("empty", {});
    const Response response = exchange(server.port(), getRequest("/empty"));
    QVERIFY(response.closedByServer);
    QCOMPARE(response.bytes, answerHeader("*/*", 0));
    QCOMPARE(server.window.texts.size(), 4);
    QCOMPARE(server.window.texts[1], u"Transfering: /empty"_s);
    QVERIFY2(
        QRegularExpression(u"^.+: \\(1\\) Error [0-9]+ - .+$"_s).match(server.window.texts[2]).hasMatch(),
        qPrintable(server.window.texts[2]));
    QCOMPARE(server.window.texts[3], u"WinSock 1 closed"_s);
}

void TestHttpServer::splitRequestIsAnswered_data()
{
    QTest::addColumn<QList<QByteArray>>("parts");

    QTest::newRow("mark split") << QList<QByteArray> {"GET /a.t", "xt HTTP/1.", "0\r\n\r\n"};
    QTest::newRow("method split") << QList<QByteArray> {"G", "ET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"};
    QList<QByteArray> bytes;
    for (const char c : QByteArray("GET /a.txt HTTP/1.0\n"))
        bytes.append(QByteArray(1, c));
    QTest::newRow("byte by byte") << bytes;
}

void TestHttpServer::splitRequestIsAnswered()
{
    QFETCH(QList<QByteArray>, parts);
    TestServer server;
    server.writeFile("a.txt", "hello");
    Client client(server.port());
    QVERIFY(client.waitConnected());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    qsizetype sent = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        client.send(parts[i]);
        sent += parts[i].size();
        if (i + 1 < parts.size())
            QVERIFY(pumpUntil([&] {
                const ConnSlot &slot = server.server.ConnSlots().at(1);
                return slot.Received.size() == sent || slot.RequestTaken;
            }));
    }
    QVERIFY(client.waitClosed());
    QCOMPARE(client.received, answerHeader("*/*", 5) + "hello");
}

void TestHttpServer::unmatchedRequestGetsNoAnswer_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("whole"); // ended by an empty line: it can never be answered
    QTest::newRow("lower-case method") << QByteArray("get / HTTP/1.0\n\n") << true;
    QTest::newRow("HEAD") << QByteArray("HEAD / HTTP/1.0\r\nHost: x\r\n\r\n") << true;
    QTest::newRow("POST in two") << QByteArray("POST / HTTP/1.0\r\n|\r\n") << true;
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n") << true;
    QTest::newRow("mark without version digit") << QByteArray("GET / HTTP/1.") << false;
    QTest::newRow("HEAD not ended") << QByteArray("HEAD / HTTP/1.0\r\n") << false;
}

void TestHttpServer::unmatchedRequestGetsNoAnswer()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, whole);
    TestServer server;
    Client client(server.port());
    QVERIFY(client.waitConnected());
    for (const QByteArray &part : request.split('|')) {
        client.send(part);
        QVERIFY(pumpUntil([&] { return !server.window.texts.isEmpty(); }));
        pumpFor(50);
    }
    QVERIFY(client.received.isEmpty());
    QCOMPARE(client.closed, whole);
    QCOMPARE(server.window.texts.last(), whole ? u"WinSock 1 closed"_s : u"HTTP-Anfrage erhalten"_s);
}

void TestHttpServer::requestPathLimitIs4096()
{
    constexpr qsizetype Limit = 4096;
    TestServer server;
    // The longest path the system can open is still answered, also when it came in pieces.
    for (const qsizetype length : {Limit, Limit + 1}) {
        Client client(server.port());
        QVERIFY(client.waitConnected());
        client.send("GET " + QByteArray(length, 'a'));
        QVERIFY(pumpUntil([&] { return server.server.ConnSlots().at(1).Received.size() == length + 4; }));
        client.send(" HTTP/1.0\n\n");
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, length == Limit ? NotFoundAnswer : QByteArray());
    }
    for (const QByteArray &flood : {getRequest('/' + QByteArray(Limit, 'a')),
                                    "GET /" + QByteArray(Limit + 8, 'a'), QByteArray(1024 * 1024, 'x')}) {
        Client client(server.port());
        QVERIFY(client.waitConnected());
        client.send(flood);
        QVERIFY(client.waitClosed());
        QVERIFY(client.received.isEmpty());
        QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
    }
}

void TestHttpServer::dataAfterTheRequestIsIgnored()
{
    TestServer server;
    server.writeFile("a.txt", "hello");
    const QByteArray big(100'000, 'B');
    server.writeFile("big", big);
    {
        // In the same arrival: only the first request counts.
        const Response response = exchange(server.port(), "GET /a.txt HTTP/1.0\n\nGET /big HTTP/1.0\n\n");
        QCOMPARE(response.bytes, answerHeader("*/*", 5) + "hello");
    }
    Client client(server.port());
    QVERIFY(client.waitConnected());
    client.send(getRequest("/big"));
    QVERIFY(pumpUntil([&] { return client.received.size() > 1000; }));
    client.send(getRequest("/a.txt") + QByteArray(10'000, 'j'));
    QVERIFY(client.waitClosed());
    QCOMPARE(client.received, answerHeader("*/*", big.size()) + big);
}

void TestHttpServer::fileThatCannotBeOpenedIsNotFound()
{
    TestServer server;
    server.writeFile("a.txt", "hello");
    Client client(server.port());
    QVERIFY(client.waitConnected());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    // No descriptor left for the open: the file exists but cannot be opened (even for root).
    rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
    client.send(getRequest("/a.txt"));
    const bool closed = client.waitClosed();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(closed);
    QCOMPARE(client.received, NotFoundAnswer);
}

void TestHttpServer::fileThatShrinksEndsTheTransfer()
{
    TestServer server;
    const qint64 size = 1024 * 1024;
    server.writeFile("shrink.bin", QByteArray(size, 'S'));
    const int filesBefore = openFileCount();
    Client client(server.port());
    QVERIFY(client.waitConnected());
    client.send(getRequest("/shrink.bin"));
    QVERIFY(pumpUntil([&] { return client.received.size() > 10'000; }));
    QVERIFY(::truncate(server.pathBytes("shrink.bin").constData(), 4096) == 0);
    QVERIFY(client.waitClosed());
    const qsizetype body = client.received.size() - answerHeader("*/*", size).size();
    QVERIFY2(body < size, qPrintable(QString::number(body)));
    QCOMPARE(server.server.ConnSlots().at(1).FileNr, qint16(0));
    QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
    QVERIFY(pumpUntil([&] { return openFileCount() <= filesBefore; }));
}

void TestHttpServer::reusedSlotStartsClean()
{
    TestServer server;
    server.writeFile("big", QByteArray(1024 * 1024, 'B'));
    {
        Client first(server.port());
        QVERIFY(first.waitConnected());
        first.send(getRequest("/big"));
        QVERIFY(pumpUntil([&] { return first.received.size() > 5000; }));
        QVERIFY(server.server.ConnSlots().at(1).FileNr >= 1);
        first.abort();
        QVERIFY(pumpUntil([&] { return server.window.texts.last() == u"WinSock 1 closed"_s; }));
    }
    Client second(server.port());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    QCOMPARE(server.winsock1.highestIndex(), 1);
    const ConnSlot &slot = server.server.ConnSlots().at(1);
    QCOMPARE(slot.FileNr, qint16(0));
    QCOMPARE(slot.ResponseSize, qint64(0));
    QCOMPARE(slot.SentBytes, qint64(0));
    QVERIFY(slot.RequestPath.isEmpty());
    // A tick still pending from the first connection sends nothing into the second.
    pumpFor(20);
    QVERIFY(second.received.isEmpty());
}

void TestHttpServer::closingSlotZeroResetsTheButtons()
{
    TestServer server;
    server.server.WinSock1_Close(0);
    QCOMPARE(server.window.buttonStates, QList<bool> {true});
    QCOMPARE(server.window.texts, QStringList {u"WinSock 0 closed"_s});
    QVERIFY(!server.winsock1.listener().isListening());
    Client late(server.port());
    QVERIFY(late.waitClosed(5000));
}

void TestHttpServer::closingAConnectionSlotKeepsTheButtons()
{
    TestServer server;
    Client client(server.port());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    server.server.WinSock1_Close(1);
    QVERIFY(server.window.buttonStates.isEmpty());
    QCOMPARE(server.window.texts, QStringList {u"WinSock 1 closed"_s});
    QVERIFY(client.waitClosed());
}

void TestHttpServer::noSlotLeftRefusesTheConnection()
{
    TestServer server;
    server.writeFile("a.txt", "hello");
    server.server.setHighestSlotIndex(2);
    Client first(server.port());
    Client second(server.port());
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 2; }));
    Client refused(server.port());
    QVERIFY(refused.waitClosed());
    QVERIFY(refused.received.isEmpty());
    QCOMPARE(server.winsock1.highestIndex(), 2);

    first.abort();
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 1; }));
    QCOMPARE(exchange(server.port(), getRequest("/a.txt")).bytes, answerHeader("*/*", 5) + "hello");
}

void TestHttpServer::halfClosingClientsGetTheWholeAnswer_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("shutDownAfterMs");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray large(2 * 1024 * 1024, 'L');
    QTest::newRow("at once, file") << getRequest("/a.txt") << 0 << answerHeader("*/*", 5) + "hello";
    QTest::newRow("at once, listing")
        << getRequest("/sub/") << 0 << answerHeader("text/html", SubPage.size()) + SubPage;
    QTest::newRow("at once, not found") << getRequest("/missing") << 0 << NotFoundAnswer;
    QTest::newRow("0.3 s later, large file")
        << getRequest("/large.bin") << 300 << answerHeader("*/*", large.size()) + large;
    QTest::newRow("before the request is whole") << QByteArray("GET /a.txt HTT") << 0 << QByteArray();
}

void TestHttpServer::halfClosingClientsGetTheWholeAnswer()
{
    QFETCH(QByteArray, request);
    QFETCH(int, shutDownAfterMs);
    QFETCH(QByteArray, expected);
    TestServer server;
    makeTree(server);
    server.writeFile("large.bin", QByteArray(2 * 1024 * 1024, 'L'));
    Client client(server.port());
    QVERIFY(client.waitConnected());
    client.send(request);
    if (shutDownAfterMs > 0)
        pumpFor(shutDownAfterMs);
    client.finishSending();
    QVERIFY(client.waitClosed());
    QVERIFY2(client.received == expected, qPrintable(QString::number(client.received.size())));
    QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
    QCOMPARE(server.winsock1.at(1)->state(), TcpConnection::Closed);
}

void TestHttpServer::clientGoneMidAnswerFreesItsSlotAndFile_data()
{
    QTest::addColumn<QString>("leaving");
    QTest::newRow("closes both ways") << u"both"_s;
    QTest::newRow("resets") << u"reset"_s;
    QTest::newRow("half-closes, then resets") << u"half, reset"_s;
}

void TestHttpServer::clientGoneMidAnswerFreesItsSlotAndFile()
{
    QFETCH(QString, leaving);
    TestServer server;
    server.writeFile("large.bin", QByteArray(4 * 1024 * 1024, 'L'));
    const int filesBefore = openFileCount();
    {
        Client client(server.port());
        QVERIFY(client.waitConnected());
        client.send(getRequest("/large.bin"));
        QVERIFY(pumpUntil([&] { return client.received.size() > 10'000; }));
        if (leaving == u"both"_s) {
            client.closeBothWays();
        } else if (leaving == u"reset"_s) {
            client.reset();
        } else {
            client.finishSending();
            pumpFor(50);
            QVERIFY(server.server.ConnSlots().at(1).File);
            client.reset();
        }
        QVERIFY(pumpUntil([&] { return server.winsock1.at(1)->state() == TcpConnection::Closed; }, 5000));
        QVERIFY(!server.server.ConnSlots().at(1).File);
        QCOMPARE(server.server.ConnSlots().at(1).FileNr, qint16(0));
        QCOMPARE(server.window.texts.last(), u"WinSock 1 closed"_s);
    }
    QVERIFY(pumpUntil([&] { return openFileCount() <= filesBefore; }, 5000));
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
