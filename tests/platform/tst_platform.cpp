// The platform services where their behaviour is ours rather than Qt's.
#include "serialport.h"
#include "socket.h"
#include "timerarray.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

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

    void unacceptedRequestsAreRefused()
    {
        Socket listener;
        listener.setLocalPort(0);
        QVERIFY(listener.listen());
        QTcpSocket client;
        QSignalSpy requests(&listener, &Socket::connectionRequest);
        client.connectToHost(QHostAddress::LocalHost, listener.localPort());
        QTRY_COMPARE(requests.size(), 1);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }

    void datagramsArrivingWhileAHandlerWaitsAreAnnounced()
    {
        Socket receiver;
        receiver.setProtocol(Socket::Udp);
        QVERIFY(receiver.bind(0, u"localhost"_s));
        QUdpSocket sender;
        const quint16 port = receiver.localPort();
        QVERIFY(port != 0);
        QList<QByteArray> taken;
        connect(&receiver, &Socket::dataArrival, this, [&] {
            if (taken.isEmpty()) {
                // The next datagrams come in while this handler lets events run.
                sender.writeDatagram("second", QHostAddress::LocalHost, port);
                sender.writeDatagram("third", QHostAddress::LocalHost, port);
                QTest::qWait(30);
            }
            taken.append(receiver.takeAll());
        });
        sender.writeDatagram("first", QHostAddress::LocalHost, port);
        QTRY_COMPARE(taken, (QList<QByteArray> {"first", "second", "third"}));
    }

    void acceptMovesTheRequestIntoAnotherSocket()
    {
        Socket listener;
        Socket connection;
        QVERIFY(listener.listen());
        connect(&listener, &Socket::connectionRequest, &connection,
                [&](qint64 id) { QVERIFY(connection.accept(id)); });
        QSignalSpy arrivals(&connection, &Socket::dataArrival);
        QSignalSpy closed(&connection, &Socket::closed);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.localPort());
        QTRY_COMPARE(connection.state(), Socket::Connected);
        QCOMPARE(listener.state(), Socket::Listening);
        client.write("hello");
        QTRY_VERIFY(!arrivals.isEmpty());
        QCOMPARE(connection.takeAll(), QByteArray("hello"));
        client.disconnectFromHost();
        QTRY_COMPARE(closed.size(), 1);
        // A connection the peer closed stays occupied until it is closed here.
        QCOMPARE(connection.state(), Socket::Closing);
        connection.close();
        QCOMPARE(connection.state(), Socket::Closed);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
