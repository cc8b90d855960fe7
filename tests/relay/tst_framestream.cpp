// Tests of cutting the TCP and the serial byte streams into whole frames.
#include "canmessage.h"
#include "framestream.h"
#include "serialframestream.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestFrameStream : public QObject
{
    Q_OBJECT

private slots:
    void cutsArrivals_data();
    void cutsArrivals();
    void clearDropsTheTail();
    void discardDropsOnlyTheFramesItTouches();
    void randomSplitsKeepEveryFrameInOrder();
    void serialStreamRegainsStep_data();
    void serialStreamRegainsStep();
};

namespace {

// Frames that differ in every position, so a shifted cut shows.
QByteArray numberedFrames(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count * FrameSize; ++i)
        bytes.append(char(i % 251));
    return bytes;
}

QByteArray spaceFramed()
{
    return QByteArray::fromHex("20318B0A08474312340001 0020");
}

// Frames as the bus sends them: Length 0..8; bytes 1..3 are above 8.
const QByteArray busFrames
    = QByteArray::fromHex("00318B0A050000000000000000 0031FFFF080101010101010101 0031FFFF070202020202020202");

} // namespace

void TestFrameStream::cutsArrivals_data()
{
    QTest::addColumn<QByteArrayList>("arrivals");
    QTest::addColumn<QByteArrayList>("frames");
    QTest::addColumn<qsizetype>("pending");

    const QByteArray two = numberedFrames(2);
    const QByteArray one = two.first(FrameSize);
    const QByteArray second = two.sliced(FrameSize);
    QTest::newRow("spaces at both ends pass whole")
        << QByteArrayList {spaceFramed()} << QByteArrayList {spaceFramed()} << qsizetype(0);
    QTest::newRow("1 + 12") << QByteArrayList {one.first(1), one.sliced(1)} << QByteArrayList {one}
                            << qsizetype(0);
    QTest::newRow("12 + 14") << QByteArrayList {two.first(12), two.sliced(12) + 'x'}
                             << QByteArrayList {one, second} << qsizetype(1);
    QTest::newRow("27 at once") << QByteArrayList {two + 'x'} << QByteArrayList {one, second} << qsizetype(1);
    QTest::newRow("tail over three arrivals")
        << QByteArrayList {one.first(5), one.sliced(5, 5), one.sliced(10) + second.first(2)}
        << QByteArrayList {one} << qsizetype(2);
    QTest::newRow("12 only") << QByteArrayList {one.first(12)} << QByteArrayList {} << qsizetype(12);
    QTest::newRow("empty arrivals") << QByteArrayList {{}, one.first(3), {}} << QByteArrayList {}
                                    << qsizetype(3);
}

void TestFrameStream::cutsArrivals()
{
    QFETCH(QByteArrayList, arrivals);
    QFETCH(QByteArrayList, frames);
    QFETCH(qsizetype, pending);
    FrameStream stream;
    QByteArrayList out;
    for (const QByteArray &arrival : arrivals)
        out += stream.append(arrival);
    QCOMPARE(out, frames);
    QCOMPARE(stream.pendingSize(), pending);
}

void TestFrameStream::clearDropsTheTail()
{
    FrameStream stream;
    QVERIFY(stream.append(QByteArray(5, 'a')).isEmpty());
    stream.clear();
    QCOMPARE(stream.pendingSize(), 0);
    const QByteArray frame = spaceFramed();
    QCOMPARE(stream.append(frame), QByteArrayList {frame});
}

void TestFrameStream::discardDropsOnlyTheFramesItTouches()
{
    constexpr int Frames = 6;
    const QByteArray input = numberedFrames(Frames);
    // Every place and length of a gap; what follows it arrives in pieces of 5 bytes. A frame the
    // gap touches is dropped, also one cut by an empty gap (its parts came on either side).
    for (qsizetype before = 0; before <= 3 * FrameSize; ++before) {
        for (qsizetype gap = 0; before + gap <= input.size(); ++gap) {
            FrameStream stream;
            QByteArrayList out = stream.append(QByteArrayView(input).first(before));
            stream.discard(gap);
            for (qsizetype pos = before + gap; pos < input.size(); pos += 5)
                out += stream.append(
                    QByteArrayView(input).sliced(pos).first(qMin<qsizetype>(5, input.size() - pos)));
            QByteArrayList expected;
            for (qsizetype at = 0; at < input.size(); at += FrameSize) {
                if (at + FrameSize <= before || at >= before + gap)
                    expected.append(input.sliced(at, FrameSize));
            }
            QVERIFY2(out == expected, qPrintable(u"%1 + gap %2"_s.arg(before).arg(gap)));
            QCOMPARE(stream.pendingSize(), 0);
        }
    }
    // A new stream starts clean after a gap.
    FrameStream stream;
    stream.append(QByteArray(3, 'a'));
    stream.discard(2);
    stream.clear();
    QCOMPARE(stream.append(input.first(FrameSize)), QByteArrayList {input.first(FrameSize)});
}

void TestFrameStream::randomSplitsKeepEveryFrameInOrder()
{
    const int frameCount = 2000;
    const QByteArray input = numberedFrames(frameCount);
    QRandomGenerator random(4711);
    FrameStream stream;
    QByteArray output;
    for (qsizetype pos = 0; pos < input.size();) {
        const qsizetype size = qMin<qsizetype>(random.bounded(1, 40), input.size() - pos);
        for (const QByteArray &frame : stream.append(QByteArrayView(input).sliced(pos, size))) {
            QCOMPARE(frame.size(), FrameSize);
            output += frame;
        }
        QVERIFY(stream.pendingSize() < FrameSize);
        pos += size;
    }
    QCOMPARE(stream.pendingSize(), 0);
    QCOMPARE(output, input);
}

void TestFrameStream::serialStreamRegainsStep_data()
{
    // An empty arrival stands for a pause.
    QTest::addColumn<QByteArrayList>("arrivals");
    QTest::addColumn<qint64>("skipped");
    const QByteArray stray("\xFF\xFF\xFF");
    QTest::newRow("Length above 8 skips to a possible start, also inside a started frame")
        << QByteArrayList {stray.first(1) + busFrames.first(3), busFrames.sliced(3, 23),
                           stray + busFrames.sliced(26)}
        << qint64(4);
    QTest::newRow("a pause drops a fragment, not a frame")
        << QByteArrayList {busFrames.sliced(8, 5), {}, busFrames.first(13), {}, busFrames.sliced(13)}
        << qint64(5);
}

void TestFrameStream::serialStreamRegainsStep()
{
    QFETCH(QByteArrayList, arrivals);
    QFETCH(qint64, skipped);
    SerialFrameStream stream;
    QByteArray out;
    for (const QByteArray &arrival : arrivals) {
        if (arrival.isEmpty())
            stream.pause();
        out += stream.append(arrival);
    }
    QCOMPARE(out, busFrames);
    QCOMPARE(stream.skippedBytes(), skipped);
}

QTEST_APPLESS_MAIN(TestFrameStream)
#include "tst_framestream.moc"
