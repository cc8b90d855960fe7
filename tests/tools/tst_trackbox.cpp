// Tests of the simulated track box, driven through the slave side of its pseudo-terminal.
#include "trackbox.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <termios.h>
#include <unistd.h>

class TestTrackBox : public QObject
{
    Q_OBJECT

private slots:
    void answersPing_data();
    void answersPing();
    void silentBoxRecordsButDoesNotAnswer();
    void echo_data();
    void echo();
    void streamsFramesInOrder_data();
    void streamsFramesInOrder();
    void queuesWhatTheTerminalCannotTake();
    void streamFrameNumber_data();
    void streamFrameNumber();
    void unplugHangsUpTheSlave();
};

namespace {

constexpr int QuietMs = 200;
constexpr int PacingSlackMs = 2;

// The gateway's end of the link: the slave opened like a serial port, read
// whenever data is waiting, as a serial port's receive event would.
class SlaveEnd
{
public:
    explicit SlaveEnd(const QString &path)
        : m_fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (m_fd < 0)
            return;
        termios settings {};
        if (::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
        m_notifier.emplace(m_fd, QSocketNotifier::Read);
        QObject::connect(&*m_notifier, &QSocketNotifier::activated, &*m_notifier, [this] {
            if (!readAvailable())
                m_notifier->setEnabled(false);
        });
    }
    ~SlaveEnd()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Everything readable now, appended to received(); false on a hang-up.
    bool readAvailable()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got > 0) {
                m_received.append(buffer, got);
                continue;
            }
            return got < 0 && (errno == EAGAIN || errno == EINTR);
        }
    }
    const QByteArray &received() const { return m_received; }

private:
    int m_fd;
    std::optional<QSocketNotifier> m_notifier;
    QByteArray m_received;
};

QByteArray gatewayPing()
{
    return QByteArray::fromHex("00308B0A 00 0000000000000000");
}

} // namespace

void TestTrackBox::answersPing_data()
{
    QTest::addColumn<quint16>("type");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("split");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("defaults, whole") << TrackBox::DefaultDeviceType << TrackBox::DefaultDeviceId
                                     << gatewayPing() << 0
                                     << QByteArray::fromHex("00318B0A 08 47431234 0001 0010");
    QTest::newRow("MS2, 1 + 12") << quint16(0x0033) << quint32(0x00AB01) << gatewayPing() << 1
                                 << QByteArray::fromHex("00318B0A 08 0000AB01 0001 0033");
    QTest::newRow("CS2, other hash, 12 + 1")
        << quint16(0xFFFF) << quint32(0x12345678) << QByteArray::fromHex("0030ABCD 00 0000000000000000") << 12
        << QByteArray::fromHex("0031ABCD 08 12345678 0001 FFFF");
}

void TestTrackBox::answersPing()
{
    QFETCH(quint16, type);
    QFETCH(quint32, id);
    QFETCH(QByteArray, request);
    QFETCH(int, split);
    QFETCH(QByteArray, answer);

    TrackBox box;
    QVERIFY2(box.isOpen(), qPrintable(box.errorString()));
    box.setDeviceType(type);
    box.setDeviceId(id);
    SlaveEnd slave(box.portPath());
    QVERIFY(slave.isOpen());

    if (split > 0) {
        QVERIFY(slave.write(request.first(split)));
        QTest::qWait(20);
        QVERIFY(box.receivedFrames().isEmpty());
        QVERIFY(slave.write(request.sliced(split)));
    } else {
        QVERIFY(slave.write(request));
    }
    QTRY_COMPARE(slave.received(), answer);
    QCOMPARE(box.receivedFrames(), QByteArrayList {request});
}

void TestTrackBox::silentBoxRecordsButDoesNotAnswer()
{
    TrackBox box;
    box.setSilent(true);
    SlaveEnd slave(box.portPath());
    QSignalSpy received(&box, &TrackBox::frameReceived);
    QVERIFY(slave.write(gatewayPing()));
    QTRY_COMPARE(received.size(), 1);
    QTest::qWait(QuietMs);
    QVERIFY(slave.readAvailable());
    QVERIFY(slave.received().isEmpty());
    QCOMPARE(box.receivedFrames(), QByteArrayList {gatewayPing()});
}

void TestTrackBox::echo_data()
{
    QTest::addColumn<bool>("echo");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("echoed");
    const QByteArray other = QByteArray::fromHex("20040000 05 0000000120000000");
    const QByteArray answer = QByteArray::fromHex("00318B0A 08 47431234 0001 0010");
    QTest::newRow("echo on, other command") << true << other << true;
    QTest::newRow("echo on, ping answer") << true << answer << false;
    QTest::newRow("echo off") << false << other << false;
}

void TestTrackBox::echo()
{
    QFETCH(bool, echo);
    QFETCH(QByteArray, frame);
    QFETCH(bool, echoed);
    TrackBox box;
    box.setEcho(echo);
    SlaveEnd slave(box.portPath());
    QSignalSpy received(&box, &TrackBox::frameReceived);
    QVERIFY(slave.write(frame));
    QTRY_COMPARE(received.size(), 1);
    if (echoed) {
        QTRY_COMPARE(slave.received(), frame);
    } else {
        QTest::qWait(QuietMs);
        QVERIFY(slave.readAvailable());
        QVERIFY(slave.received().isEmpty());
    }
}

void TestTrackBox::streamsFramesInOrder_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("rate");
    QTest::newRow("100 at 1000/s") << 100 << 1000;
    QTest::newRow("4000 at 20000/s") << 4000 << 20000;
    QTest::newRow("20000 unpaced") << 20000 << 0;
    QTest::newRow("none") << 0 << 1000;
}

void TestTrackBox::streamsFramesInOrder()
{
    QFETCH(int, count);
    QFETCH(int, rate);
    TrackBox box;
    SlaveEnd slave(box.portPath());
    QSignalSpy finished(&box, &TrackBox::streamFinished);
    QElapsedTimer clock;
    qint64 finishedAfterMs = -1;
    connect(&box, &TrackBox::streamFinished, this, [&] { finishedAfterMs = clock.elapsed(); });
    clock.start();
    box.stream(count, rate);
    QTRY_COMPARE_WITH_TIMEOUT(slave.received().size(), qsizetype(count) * TrackBox::FrameSize, 20000);
    QTRY_COMPARE(finished.size(), 1);
    // Pacing can only hold frames back: the last one is due after count / rate seconds.
    if (rate > 0)
        QVERIFY2(finishedAfterMs >= qint64(count) * 1000 / rate - PacingSlackMs,
                 qPrintable(QString::number(finishedAfterMs)));
    const QByteArray &bytes = slave.received();
    for (int i = 0; i < count; ++i) {
        const auto number = TrackBox::streamFrameNumber(
            QByteArrayView(bytes).sliced(i * TrackBox::FrameSize, TrackBox::FrameSize));
        QVERIFY2(number, qPrintable(QString::number(i)));
        QCOMPARE(*number, quint32(i));
    }
}

void TestTrackBox::queuesWhatTheTerminalCannotTake()
{
    TrackBox box;
    SlaveEnd slave(box.portPath());
    QByteArray bytes;
    for (int i = 0; i < 1024 * 1024; ++i)
        bytes.append(char(i % 253));
    box.send(bytes);
    QVERIFY(box.pendingWriteSize() > 0);
    QTRY_COMPARE_WITH_TIMEOUT(slave.received().size(), bytes.size(), 20000);
    QCOMPARE(slave.received(), bytes);
    QCOMPARE(box.pendingWriteSize(), 0);
}

void TestTrackBox::streamFrameNumber_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("number");
    const QByteArray seven = TrackBox::streamFrame(7);
    QByteArray damaged = seven;
    damaged[12] = char(damaged[12] ^ 0x01);
    QTest::newRow("7") << seven << true << quint32(7);
    QTest::newRow("last number") << TrackBox::streamFrame(0xFFFFFFFF) << true << quint32(0xFFFFFFFF);
    QTest::newRow("damaged data") << damaged << false << quint32(0);
    QTest::newRow("12 bytes") << seven.first(12) << false << quint32(0);
    QTest::newRow("ping") << gatewayPing() << false << quint32(0);
}

void TestTrackBox::streamFrameNumber()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, valid);
    QFETCH(quint32, number);
    const auto found = TrackBox::streamFrameNumber(frame);
    QCOMPARE(bool(found), valid);
    if (valid)
        QCOMPARE(*found, number);
}

void TestTrackBox::unplugHangsUpTheSlave()
{
    TrackBox box;
    SlaveEnd slave(box.portPath());
    QVERIFY(slave.readAvailable());
    box.unplug();
    QVERIFY(!box.isOpen());
    QVERIFY(!slave.readAvailable());
    box.send(gatewayPing()); // harmless once unplugged
}

QTEST_GUILESS_MAIN(TestTrackBox)
#include "tst_trackbox.moc"
