// Fuzzes the frame cutters. TCP: any split of any stream yields exactly its whole frames, in order, at
// once. Serial: frames damaged in one place, then a pause, yield every frame before the damage whole.
#include "canmessage.h"
#include "framestream.h"
#include "fuzzcheck.h"
#include "serialframestream.h"

#include <QList>

namespace {

constexpr size_t MaximumArrival = 200;
// A control byte of this value drops the kept rest, as a client going away does.
constexpr uint8_t ClientGone = 0xFF;

// The stream fed in one piece: the reference for every split.
QList<QByteArray> cutAtOnce(const QByteArray &stream)
{
    FrameStream once;
    return once.append(stream);
}

// One client's stream: every arrival's frames against the bytes seen so far.
class Connection
{
public:
    void arrive(const QByteArray &arrival)
    {
        const QList<QByteArray> frames = m_stream.append(arrival);
        m_received += arrival;
        for (const QByteArray &frame : frames) {
            FUZZ_CHECK(frame.size() == FrameSize);
            m_frames += frame;
        }
        // Every frame leaves with the arrival that completes it, and nothing else waits.
        const qsizetype whole = m_received.size() / FrameSize;
        FUZZ_CHECK(m_frames.size() == whole);
        FUZZ_CHECK(m_stream.pendingSize() == m_received.size() % FrameSize);
        FUZZ_CHECK(m_frames.join() == m_received.first(whole * FrameSize));
    }

    void finish() const { FUZZ_CHECK(m_frames == cutAtOnce(m_received)); }

    void goAway()
    {
        finish();
        m_stream.clear();
        FUZZ_CHECK(m_stream.pendingSize() == 0);
        m_received.clear();
        m_frames.clear();
    }

private:
    FrameStream m_stream;
    QByteArray m_received;
    QList<QByteArray> m_frames;
};

constexpr int MostFramesBetweenPauses = 8;
constexpr size_t MostBytesAdded = 20;

// One stretch of the serial line between pauses: frames as the bus sends them (Length 0..8), with
// bytes added or lost in one place, arriving in pieces of any size.
void checkSerialStretch(FuzzedDataProvider &input, SerialFrameStream &stream)
{
    QByteArray frames;
    for (int n = input.ConsumeIntegralInRange(0, MostFramesBetweenPauses); n > 0; --n) {
        QByteArray frame = Fuzz::bytes(input.ConsumeBytesAsString(FrameSize)).leftJustified(FrameSize, '\0');
        frame[LengthOffset] = char(quint8(frame[LengthOffset]) % (DataSize + 1));
        frames += frame;
    }
    const qsizetype damageAt = input.ConsumeIntegralInRange<qsizetype>(0, frames.size());
    QByteArray line = frames;
    if (input.ConsumeBool())
        line.insert(damageAt, Fuzz::randomLengthBytes(input, MostBytesAdded));
    else
        line.remove(damageAt, input.ConsumeIntegralInRange<qsizetype>(0, FrameSize));
    const qint64 skippedBefore = stream.skippedBytes();
    QByteArray out;
    for (qsizetype at = 0, piece = 0; at < line.size(); at += piece) {
        piece = input.ConsumeIntegralInRange<qsizetype>(1, line.size() - at);
        out += stream.append(QByteArrayView(line).sliced(at, piece));
    }
    stream.pause();
    FUZZ_CHECK(out.startsWith(frames.first(damageAt / FrameSize * FrameSize)));
    FUZZ_CHECK(out.size() + stream.skippedBytes() - skippedBefore == line.size());
    for (qsizetype at = 0; at < out.size(); at += FrameSize)
        FUZZ_CHECK(quint8(out[at + LengthOffset]) <= DataSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Connection connection;
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeIntegral<uint8_t>() == ClientGone)
            connection.goAway();
        else
            connection.arrive(Fuzz::randomLengthBytes(input, MaximumArrival));
    }
    connection.finish();

    FuzzedDataProvider line(data, size);
    SerialFrameStream stream;
    while (line.remaining_bytes() > 0)
        checkSerialStretch(line, stream);
    return 0;
}
