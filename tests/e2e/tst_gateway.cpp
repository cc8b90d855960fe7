// The gateway end to end: window, simulated track box on a pseudo-terminal, TCP and UDP clients.
#include "can.h"
#include "framebytes.h"
#include "socket.h"
#include "trackbox.h"
#include "windowdriver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray kPingRequest = frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0});
// An 8-byte frame with another command than the ping.
const QByteArray kOtherEightByteFrame = frameBytes({0x00, 0x08, 0x47, 0x11, 8, 1, 2, 3, 4, 5, 6, 7, 8});
const QByteArray kSpaceEnds = frameBytes({0x20, 0x00, 0x03, 0x00, 5, 0, 0, 0, 0, 0x20, 0, 0, 0x20});

} // namespace

// A window whose COM3 is the simulated track box, opened and set to 115200 baud.
struct Gateway
{
    QTemporaryDir dir;
    TrackBox box;
    FrmMain w {portTable({{3, box.portPath()}}), prepared(dir)};
    WindowDriver d {w};

    static QString prepared(const QTemporaryDir &dir)
    {
        QFile ini(dir.filePath(u"RIri.ini"_s));
        if (ini.open(QIODevice::WriteOnly))
            ini.write("riri\r\nPortNr=3\r\nBaudRate=115200\r\n");
        return dir.path();
    }
    Gateway()
    {
        d.open();
        d.click("Command3");
    }
    void connectLink() { d.click("Command4"); }
    // A frame client on the TCP endpoint, accepted by the window.
    void attach(QTcpSocket &client)
    {
        client.connectToHost(QHostAddress::LocalHost, 15731);
        QVERIFY(client.waitForConnected(2000));
        QTRY_COMPARE(w.tcpListen()->state(), Socket::Connected);
    }
};

class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void pingIdentifiesTheTrackBox()
    {
        Gateway g;
        QElapsedTimer took;
        took.start();
        g.connectLink();
        QVERIFY(took.elapsed() < 2000);
        QCOMPARE(g.box.receivedFrames(), QList<QByteArray> {kPingRequest});
        QCOMPARE(g.w.canLink()->idBits(), u"00000001100001000101100001010"_s);
        QCOMPARE(g.d.label("Label5"), u"Gleisbox-ID: 47431234"_s);
        QCOMPARE(g.w.canLink()->answerCode(), 1);
        QVERIFY(!g.d.enabled("Command4"));
        QVERIFY(g.d.enabled("Command5"));
        QCOMPARE(g.w.canLink()->deviceType(), u"0010"_s);

        g.d.click("Command5");
        QCOMPARE(g.d.label("Label5"), u"Verbindung getrennt"_s);
        QVERIFY(!g.d.enabled("Command5"));
        QVERIFY(!g.d.enabled("Command4"));
        QVERIFY(g.d.enabled("Command3"));
        QVERIFY(g.d.enabled("Combo1"));
    }

    void unidentifiedDeviceEndsTheWaitLikeATimeOut()
    {
        Gateway g;
        g.box.setDeviceType(0x0040);
        g.box.setDeviceId(0x00000AB1);
        QElapsedTimer took;
        took.start();
        g.connectLink();
        QVERIFY(took.elapsed() < 2000);
        QCOMPARE(g.d.label("Label5"), u"keine Verbindung"_s);
        QCOMPARE(g.w.canLink()->deviceType(), u"0040"_s);
        QCOMPARE(g.w.canLink()->deviceId(), QString());
        QVERIFY(g.w.canLink()->Verbindungs_Status());
        QVERIFY(g.d.enabled("Command4"));
        QVERIFY(!g.d.enabled("Command5"));
    }

    void commandTimeOutsAndUnknownCommands()
    {
        Gateway g;
        g.box.setSilent(true);
        g.connectLink(); // ten seconds are covered by the window suite; here: short limits
        CAN &link = *g.w.canLink();
        QElapsedTimer took;
        qint16 timeOut = 0;
        took.start();
        QCOMPARE(link.Command_Execute(u"Ping"_s, timeOut), 2);
        QCOMPARE(timeOut, qint16(2));
        QVERIFY(took.elapsed() >= 2000 && took.elapsed() < 3500);
        QCOMPARE(g.d.label("Label5"), u"keine Verbindung"_s);

        g.box.clearReceivedFrames();
        timeOut = 1;
        QCOMPARE(link.Command_Execute(u"ping"_s, timeOut), 0);
        QCOMPARE(link.answerCode(), 0);
        QTest::qWait(50);
        QVERIFY(g.box.receivedFrames().isEmpty());
    }

    void answerFollowedByAnotherFrameStillCounts()
    {
        Gateway g;
        g.box.setSilent(true);
        // The answer and another 8-byte frame arrive in one piece.
        connect(&g.box, &TrackBox::frameReceived, &g.box, [&g](const QByteArray &request) {
            if (TrackBox::isPingRequest(request))
                g.box.send(TrackBox::pingAnswer(request, 0x47431234, 0x0010) + kOtherEightByteFrame);
        });
        g.connectLink();
        QCOMPARE(g.w.canLink()->answerCode(), 1);
        QCOMPARE(g.d.label("Label5"), u"Gleisbox-ID: 47431234"_s);
        QVERIFY(g.d.enabled("Command5"));
    }

    void serialFramesReachTheClientWholeAndInOrder()
    {
        Gateway g;
        g.connectLink();
        QTcpSocket client;
        g.attach(client);

        // A ping answer of another device leaves with its type bytes rewritten.
        const QByteArray answer = TrackBox::pingAnswer(kPingRequest, 0x00001234, 0x0035);
        QByteArray expected = answer;
        expected[11] = char(0xEE);
        expected[12] = char(0xEE);
        // 27 bytes: two frames now, the third byte waits for its other twelve.
        const QByteArray third = TrackBox::streamFrame(7);
        g.box.send(answer + kSpaceEnds + third.first(1));
        QTRY_COMPARE(client.bytesAvailable(), 26);
        QCOMPARE(client.read(26), expected + kSpaceEnds);
        QCOMPARE(g.d.label("Label5"), u"MS2-ID: 001234"_s);
        g.box.send(third.sliced(1, 5));
        QTest::qWait(30);
        QCOMPARE(client.bytesAvailable(), 0);
        g.box.send(third.sliced(6));
        QTRY_COMPARE(client.bytesAvailable(), 13);
        QCOMPARE(client.readAll(), third);
    }

    void clientFramesReachTheTrackBoxWhole()
    {
        Gateway g;
        g.connectLink();
        g.box.clearReceivedFrames();
        QTcpSocket client;
        g.attach(client);
        const QByteArray a = TrackBox::streamFrame(1);
        const QByteArray b = TrackBox::streamFrame(2);
        // Split across arrivals: 5 bytes, then the rest plus the next frame and a space frame.
        client.write(a.first(5));
        client.flush();
        QTest::qWait(30);
        client.write(a.sliced(5) + b + kSpaceEnds);
        QTRY_COMPARE(g.box.receivedFrames().size(), 3);
        QCOMPARE(g.box.receivedFrames(), (QList<QByteArray> {a, b, kSpaceEnds}));
        QCOMPARE(g.d.label("LFileProgress"), u"TCPListen: Daten erhalten"_s);

        // A second client gets no connection while the first is served.
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, 15731);
        QVERIFY(!second.waitForConnected(500) || !second.waitForReadyRead(300));
    }

    void aClientFasterThanTheLineIsSlowedDownNotBuffered()
    {
        Gateway g;
        g.connectLink();
        g.box.clearReceivedFrames();
        QTcpSocket client;
        g.attach(client);
        g.box.setReading(false); // the line stalls
        constexpr quint32 count = 100'000;
        QByteArray all;
        for (quint32 n = 0; n < count; ++n)
            all += TrackBox::streamFrame(n);
        client.write(all);
        QTest::qWait(500);
        // Two backlogs of 64 KiB at the most, whatever the client sends.
        QVERIFY2(g.w.serialPort()->pendingWrite() <= 2 * 64 * 1024,
                 qPrintable(QString::number(g.w.serialPort()->pendingWrite())));
        g.box.setReading(true);
        QTRY_COMPARE_WITH_TIMEOUT(g.box.receivedCount(), qint64(count), 20'000);
        QCOMPARE(g.box.receivedFrames().join(), all);
    }

    void framesWhileTheLinkIsClosedAreDropped()
    {
        Gateway g; // opened and applied, not connected
        QTcpSocket client;
        g.attach(client);
        client.write(TrackBox::streamFrame(1));
        QTRY_COMPARE(g.d.label("LFileProgress"), u"TCPListen: Daten erhalten"_s);
        g.connectLink();
        QTest::qWait(50);
        QCOMPARE(g.box.receivedFrames(), QList<QByteArray> {kPingRequest});
    }

    void udpFramesAreEchoedToPeerAndClient()
    {
        Gateway g;
        QUdpSocket peer; // plays the program listening on 15730
        QVERIFY(peer.bind(QHostAddress::LocalHost, 15730));
        QTcpSocket client;
        g.attach(client);

        const QByteArray answer
            = frameBytes({0x00, 0x31, 0x8B, 0x0A, 8, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10});
        const QByteArray rebuilt
            = frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10});
        QUdpSocket sender;
        sender.writeDatagram(answer + kPingRequest, QHostAddress::LocalHost, 15731);
        QTRY_COMPARE(client.bytesAvailable(), 26);
        QCOMPARE(client.readAll(), rebuilt + kPingRequest);
        QCOMPARE(g.w.canLink()->idBits(), u"0000"_s + u"00011000"_s + u"0"_s + u"1000101100001010"_s);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), rebuilt);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), kPingRequest);
        QCOMPARE(g.d.label("LFileProgress"), u"UDP:15730 gesendet"_s);

        // 20 bytes are no frames; nothing goes out.
        sender.writeDatagram(QByteArray(20, 'x'), QHostAddress::LocalHost, 15731);
        QTRY_COMPARE(g.d.label("LFileProgress"), u"UDPListen: Daten erhalten"_s);
        QTest::qWait(50);
        QCOMPARE(client.bytesAvailable(), 0);
        QVERIFY(!peer.hasPendingDatagrams());
    }

    void udpEchoKeepsGoingWithNobodyOnTheEchoPort()
    {
        Gateway g;
        QTcpSocket client;
        g.attach(client);
        QUdpSocket sender;
        for (quint32 n = 0; n < 3; ++n) {
            sender.writeDatagram(TrackBox::streamFrame(n), QHostAddress::LocalHost, 15731);
            QTRY_COMPARE(client.bytesAvailable(), 13);
            QCOMPARE(client.readAll(), TrackBox::streamFrame(n));
        }
    }

    void unpluggedDeviceEndsTheLink()
    {
        Gateway g;
        g.connectLink();
        QVERIFY(g.w.canLink()->Verbindungs_Status());
        g.box.unplug();
        QTRY_COMPARE(g.d.label("Label5"), u"Verbindung getrennt"_s);
        QVERIFY(!g.w.canLink()->Verbindungs_Status());
        QVERIFY(g.d.enabled("Combo1"));
        QVERIFY(g.d.enabled("Text6"));
        QVERIFY(!g.d.enabled("Command5"));
    }

    void unpluggedDuringThePingEndsTheWaitAtOnce()
    {
        Gateway g;
        g.box.setSilent(true);
        QTimer::singleShot(300, &g.box, [&g] { g.box.unplug(); });
        QElapsedTimer took;
        took.start();
        g.connectLink();
        QVERIFY(took.elapsed() < 2000);
        QVERIFY(!g.w.canLink()->Verbindungs_Status());
        QCOMPARE(g.d.label("Label5"), u"keine Verbindung"_s);
        QVERIFY(g.d.enabled("Combo1"));
        QVERIFY(!g.d.enabled("Command5"));
    }

    void closingTheWindowEndsAPendingWait()
    {
        Gateway g;
        g.box.setSilent(true);
        g.w.show();
        QTimer::singleShot(300, &g.w, [&g] { g.w.close(); });
        QElapsedTimer took;
        took.start();
        g.connectLink();
        QVERIFY(took.elapsed() < 2000);
        QVERIFY(!g.w.isVisible());
    }
};

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
