// Fuzzes the TCP frame cutter: any split of any stream yields exactly its whole frames, in order, at once.
#include "canmessage.h"
#include "framestream.h"
#include "fuzzcheck.h"

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
    return 0;
}
