// The platform services where their behaviour is ours rather than Qt's.
#include "serialport.h"
#include "tcpconnection.h"
#include "tcplistener.h"
#include "timerarray.h"
#include "udpsocket.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listener and one connection accepted from it, with a client.
struct Connection
{
    TcpListener listener;
    TcpConnection accepted;
    QTcpSocket client;

    Connection()
    {
        QObject::connect(&listener, &TcpListener::connectionRequest, &accepted,
                         [this](qint64 id) { accepted.accept(listener, id); });
        if (!listener.listen())
            qFatal("cannot listen: %s", qPrintable(listener.errorString()));
        client.connectToHost(QHostAddress::LocalHost, listener.localPort());
    }
    int clientFd() const { return int(client.socketDescriptor()); }
};

int connectToLoopback(int fd, quint16 port)
{
    sockaddr_in address {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

int systemBacklog()
{
    QFile setting(QStringLiteral("/proc/sys/net/core/somaxconn"));
    return setting.open(QIODevice::ReadOnly) ? setting.readAll().trimmed().toInt() : SOMAXCONN;
}

} // namespace

using namespace Qt::Literals::StringLiterals;

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void portNumbersMapToTheLinuxDevices_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("device");
        QTest::newRow("0") << 0 << QString();
        QTest::newRow("1") << 1 << u"/dev/ttyS0"_s;
        QTest::newRow("4") << 4 << u"/dev/ttyS3"_s;
        QTest::newRow("5") << 5 << u"/dev/ttyUSB0"_s;
        QTest::newRow("10") << 10 << u"/dev/ttyUSB5"_s;
        QTest::newRow("11") << 11 << u"/dev/ttyACM0"_s;
        QTest::newRow("16") << 16 << u"/dev/ttyACM5"_s;
        QTest::newRow("17") << 17 << QString();
        QTest::newRow("-3") << -3 << QString();
    }
    void portNumbersMapToTheLinuxDevices()
    {
        QFETCH(int, port);
        QFETCH(QString, device);
        QCOMPARE(SerialPort::linuxDevice(port), device);
    }

    void lineSettingsAreChecked()
    {
        SerialPort port;
        QVERIFY(port.setSettings(u"115200,N,8,1"_s));
        for (const QString &bad : {u"9600.5,N,8,1"_s, u"0,N,8,1"_s, u"9600,E,8,1"_s, u"9600"_s, QString()})
            QVERIFY2(!port.setSettings(bad), qPrintable(bad));
    }

    void timerWithIntervalZeroNeverFires()
    {
        TimerArray timers;
        QSignalSpy ticks(&timers, &TimerArray::tick);
        timers.setEnabled(0, true);
        timers.create(1);
        timers.setInterval(1, 1);
        timers.setEnabled(1, true);
        QTRY_VERIFY(!ticks.isEmpty());
        timers.setEnabled(1, false);
        QTest::qWait(20);
        for (const QList<QVariant> &tick : ticks)
            QCOMPARE(tick.at(0).toInt(), 1);
    }

    // As the frame endpoint does: the listener closes before the accept, the connection object
    // serves one client after another, and nothing of an earlier one reaches a later one.
    void aConnectionObjectServesOneConnectionAfterAnother()
    {
        TcpListener listener;
        TcpConnection accepted;
        connect(&listener, &TcpListener::connectionRequest, this, [&](qint64 id) {
            listener.close();
            QVERIFY(accepted.accept(listener, id));
        });
        QSignalSpy ended(&accepted, &TcpConnection::inputEnded);
        for (const QByteArray text : {"first", "second"}) {
            QVERIFY(listener.listen());
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, listener.localPort());
            QTRY_COMPARE(accepted.state(), TcpConnection::Connected);
            QVERIFY(!listener.isListening());
            client.write(text + " unread");
            client.disconnectFromHost();
            QTRY_COMPARE(ended.size(), text == "first" ? 1 : 2);
            QCOMPARE(accepted.takeAll(), text + " unread");
            accepted.close();
            QCOMPARE(accepted.state(), TcpConnection::Closed);
            QVERIFY(!accepted.atEnd());
        }
    }

    // Events come one after another in the order they happened, also those that happen while a
    // handler lets events run; none is emitted inside another's handler.
    void eventsKeepTheirOrderAndNeverNest()
    {
        Connection c;
        QStringList events;
        int depth = 0;
        int deepest = 0;
        const auto note = [&](const QString &event) {
            events.append(event);
            deepest = qMax(deepest, ++depth);
            c.accepted.takeAll();
            if (events.size() == 1) {
                c.client.write("more");
                c.client.disconnectFromHost();
                QTest::qWait(50);
            }
            --depth;
        };
        connect(&c.accepted, &TcpConnection::dataArrival, this, [&] { note(u"data"_s); });
        connect(&c.accepted, &TcpConnection::inputEnded, this, [&] { note(u"end"_s); });
        connect(&c.accepted, &TcpConnection::failed, this, [&] { note(u"failed"_s); });
        QTRY_COMPARE(c.accepted.state(), TcpConnection::Connected);
        c.client.write("first");
        QTRY_COMPARE(events, (QStringList {u"data"_s, u"data"_s, u"end"_s}));
        QCOMPARE(deepest, 1);
    }

    // How the peer ends decides what the socket reports: the end of its input (and sending
    // goes on), or the loss of the connection (and the socket waits to be closed).
    void peerEndsAreReportedApart_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("inputEnded");
        QTest::addColumn<bool>("lost");
        QTest::newRow("shut down its sending side") << u"half"_s << true << false;
        QTest::newRow("reset") << u"reset"_s << false << true;
        QTest::newRow("closed both ways, then two sends") << u"close"_s << true << true;
    }
    void peerEndsAreReportedApart()
    {
        QFETCH(QString, end);
        QFETCH(bool, inputEnded);
        QFETCH(bool, lost);
        Connection c;
        QSignalSpy ended(&c.accepted, &TcpConnection::inputEnded);
        QSignalSpy closed(&c.accepted, &TcpConnection::failed);
        QSignalSpy completions(&c.accepted, &TcpConnection::sendComplete);
        QTRY_COMPARE(c.accepted.state(), TcpConnection::Connected);
        c.client.write("request");
        QTRY_COMPARE(c.accepted.waitingCount(), 7);
        if (end == u"half"_s) {
            QVERIFY(::shutdown(c.clientFd(), SHUT_WR) == 0);
        } else {
            if (end == u"reset"_s) {
                const linger hard {1, 0};
                ::setsockopt(c.clientFd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            c.client.abort();
        }
        QTRY_COMPARE(ended.size() + closed.size(), 1);
        // What came before the end is still there to take.
        QCOMPARE(c.accepted.takeAll(), QByteArray("request"));
        QVERIFY(c.accepted.atEnd());
        for (int i = 0; i < 2 && c.accepted.state() == TcpConnection::Connected; ++i) {
            const int before = int(completions.size());
            QCOMPARE(c.accepted.send("answer"), 6);
            // Completion is an event of its own, never reported from inside send().
            QCOMPARE(completions.size(), before);
            QTRY_VERIFY(completions.size() > before || !closed.isEmpty());
        }
        QTest::qWait(50);
        QCOMPARE(ended.size(), inputEnded ? 1 : 0);
        QCOMPARE(closed.size(), lost ? 1 : 0);
        QCOMPARE(c.accepted.state(), lost ? TcpConnection::Failed : TcpConnection::Connected);
        if (end == u"half"_s) {
            QTRY_COMPARE(c.client.bytesAvailable(), 12);
            QCOMPARE(c.client.readAll(), QByteArray("answeranswer"));
        }
        c.accepted.close();
        QCOMPARE(c.accepted.state(), TcpConnection::Closed);
    }

    void receiveLimitHoldsThePeerBackWithoutLosingAByte()
    {
        constexpr qint64 Limit = 1000;
        Connection c;
        c.accepted.setReceiveLimit(Limit);
        QTRY_COMPARE(c.accepted.state(), TcpConnection::Connected);
        QByteArray sent;
        for (int i = 0; sent.size() < 300'000; ++i)
            sent += QByteArray::number(i) + ' ';
        c.client.write(sent);
        c.client.disconnectFromHost();
        QByteArray taken;
        QElapsedTimer clock;
        clock.start();
        while (!(c.accepted.atEnd() && c.accepted.waitingCount() == 0) && clock.elapsed() < 10'000) {
            QTest::qWait(1);
            QVERIFY(c.accepted.waitingCount() <= Limit);
            taken += c.accepted.takeAll();
        }
        QCOMPARE(taken.size(), sent.size());
        QVERIFY(taken == sent);
    }

    // A burst of connection requests while the program is busy waits in the kernel, however
    // many there are: none of them has to try again a second later.
    void listenBacklogIsTheSystemMaximum()
    {
        const int burst = qMin(300, systemBacklog());
        TcpListener listener;
        QVERIFY(listener.listen());
        std::vector<pollfd> clients;
        for (int i = 0; i < burst; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connectToLoopback(fd, listener.localPort());
            clients.push_back({fd, POLLOUT, 0});
        }
        // No event runs meanwhile: nothing is accepted, the kernel alone holds the requests.
        QElapsedTimer clock;
        clock.start();
        int connected = 0;
        while (clock.elapsed() < 500 && connected < burst) {
            ::poll(clients.data(), clients.size(), 50);
            connected = int(std::count_if(clients.begin(), clients.end(),
                                          [](const pollfd &p) { return (p.revents & POLLOUT) != 0; }));
        }
        for (const pollfd &client : clients)
            ::close(client.fd);
        QCOMPARE(connected, burst);
    }

    // Out of descriptors, a waiting client is taken once one frees, without a new request.
    void acceptingResumesWhenADescriptorFrees()
    {
        TcpListener listener;
        QVERIFY(listener.listen());
        QSignalSpy requests(&listener, &TcpListener::connectionRequest);
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        rlimit saved {};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        std::vector<int> fillers;
        const auto restore = qScopeGuard([&] {
            for (const int fd : fillers)
                ::close(fd);
            ::close(client);
            ::setrlimit(RLIMIT_NOFILE, &saved);
        });
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
            fillers.push_back(fd);
        QVERIFY(connectToLoopback(client, listener.localPort()) == 0);
        QTest::qWait(100);
        QCOMPARE(requests.size(), 0);
        ::close(fillers.back());
        fillers.pop_back();
        QTRY_COMPARE(requests.size(), 1);
        // Nobody accepted it: it is refused rather than left hanging.
        char byte = 0;
        QTRY_COMPARE(::recv(client, &byte, 1, MSG_DONTWAIT), ssize_t(0));
    }

    // A flood beyond the queue's bound, while a handler lets events run, is dropped whole and
    // counted; the rest is announced in order of arrival.
    void datagramQueueIsBoundedAndCountsWhatItDrops()
    {
        constexpr int Sent = 80;
        UdpSocket receiver;
        QVERIFY(receiver.bind(0, u"localhost"_s));
        QUdpSocket sender;
        QList<int> taken;
        connect(&receiver, &UdpSocket::dataArrival, this, [&] {
            if (taken.isEmpty()) {
                for (int i = 1; i < Sent; ++i) {
                    sender.writeDatagram(QByteArray(60'000, char(i)), QHostAddress::LocalHost, receiver.localPort());
                    QTest::qWait(1);
                }
            }
            taken.append(receiver.takeAll().at(0));
        });
        sender.writeDatagram(QByteArray(60'000, char(0)), QHostAddress::LocalHost, receiver.localPort());
        QTRY_VERIFY(!taken.isEmpty() && !receiver.datagramsWaiting());
        QTest::qWait(50);
        QVERIFY(std::is_sorted(taken.cbegin(), taken.cend()));
        QVERIFY(taken.size() < Sent / 2);
        QCOMPARE(taken.size() + receiver.takeDroppedDatagrams(), Sent);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
