// Measures how fast and how promptly the shown window relays frames, beside a plain reader of a raw
// pseudo-terminal pair and a minimal relay over the same pipes.
//
// The window runs on the main thread as a user runs it; the track box, the writers and
// the receivers are threads with plain POSIX I/O, so the harness costs the window as
// little as possible. Every frame is numbered and carries its send time: receivers count
// what was lost, reordered or changed. No time is asserted; the program fails when the
// gateway lost, reordered or changed a frame.
#include "benchsupport.h"
#include "tcpconnection.h"
#include "tcplistener.h"
#include "trackbox.h"

#include <QNetworkDatagram>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <array>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

using namespace bench;

namespace {

constexpr int LengthIndex = 4;
constexpr int StampIndex = 5;
// Not 8: the gateway examines 8-byte frames, every other length passes untouched.
constexpr std::uint8_t StreamLength = 5;
constexpr int NumberBytes = 4;
constexpr int StampBytes = 8;

constexpr int Runs = 3;
constexpr std::int64_t BurstFrames = 1'000'000;
constexpr std::int64_t PacedFrames = 10'000;
constexpr std::int64_t PacedRate = 2'000;
constexpr std::int64_t ClientFrames = 1'000'000;
constexpr std::int64_t ChunkFrames = 64;
constexpr std::array<std::int64_t, 5> DatagramRates = {2'000, 5'000, 10'000, 20'000, 40'000};
constexpr std::int64_t DatagramSeconds = 2;
constexpr std::int64_t BurstDatagrams = 400;
// The largest datagrams, sent at once: 5,039 frames each.
constexpr std::size_t LargestDatagram = 65'507;
constexpr std::int64_t FramesPerLargest = std::int64_t(LargestDatagram) / FrameSize;
constexpr std::int64_t LargeDatagrams = 12;
// Room for every echo of the large datagrams while the receiving thread waits for a core.
constexpr int EchoReceiveBuffer = 64 << 20;
// The window's thread is held at least this long while the burst arrives.
constexpr auto BusyHold = 50ms;
constexpr auto SenderNap = 100us;

// Nothing arrived for this long after the last send: what is missing is lost.
constexpr auto StreamIdleLimit = 3s;
constexpr auto DatagramIdleLimit = 1s;
constexpr int ReadBufferSize = 1 << 16;
constexpr std::int64_t NotArrived = -1;
constexpr double NsPerUs = 1e3;
constexpr double MedianRank = 0.50;
constexpr double TailRank = 0.99;
constexpr double MostRank = 1.0;

using Frame = std::array<std::uint8_t, FrameSize>;

// Ident = frame number, data = the moment it was handed to the first pipe.
Frame streamFrame(std::uint32_t number, std::int64_t stamp)
{
    Frame frame {};
    writeBigEndian(frame.data(), number, NumberBytes);
    frame[LengthIndex] = StreamLength;
    writeBigEndian(frame.data() + StampIndex, std::uint64_t(stamp), StampBytes);
    return frame;
}

// What a writer handed over: the stamp of every frame, and when it started.
struct Sent
{
    explicit Sent(std::int64_t total)
        : stamps(std::size_t(total), NotArrived)
    {
    }
    std::vector<std::int64_t> stamps;
    std::int64_t firstSend = 0;
    std::atomic<std::int64_t> count {0};
    std::atomic<bool> finished {false};
};

// What one receiver saw of one numbered stream; fed by one thread only.
struct Tally
{
    explicit Tally(std::int64_t total)
        : total(total)
        , stamps(std::size_t(total), NotArrived)
    {
        delays.reserve(std::size_t(total));
    }

    void take(const std::uint8_t *frame, std::int64_t arrival)
    {
        const std::uint64_t number = readBigEndian(frame, NumberBytes);
        const auto stamp = std::int64_t(readBigEndian(frame + StampIndex, StampBytes));
        received.fetch_add(1, std::memory_order_release);
        if (frame[LengthIndex] != StreamLength || number >= std::uint64_t(total)
            || stamps[number] != NotArrived) {
            ++damaged;
            return;
        }
        if (number < expected)
            ++reordered;
        expected = std::max(expected, number + 1);
        stamps[number] = stamp;
        delays.push_back(arrival - stamp);
        lastArrival = arrival;
    }
    bool complete() const { return received.load(std::memory_order_acquire) >= total; }

    const std::int64_t total;
    std::atomic<std::int64_t> received {0};
    std::uint64_t expected = 0;
    std::int64_t reordered = 0;
    // Wrong length byte or size, a number out of range or twice.
    std::int64_t damaged = 0;
    std::int64_t lastArrival = 0;
    std::vector<std::int64_t> stamps;
    std::vector<std::int64_t> delays;
};

struct Outcome
{
    std::int64_t arrived = 0;
    std::int64_t lost = 0;
    std::int64_t reordered = 0;
    std::int64_t changed = 0;
    // Frames through per second, counted only when nothing was lost.
    double framesPerSecond = 0;
    // What came through per second, whole or not.
    double arrivedPerSecond = 0;
    double medianUs = 0;
    double tailUs = 0;
    double mostUs = 0;
};

double percentileUs(std::vector<std::int64_t> delays, double rank)
{
    if (delays.empty())
        return 0;
    const auto at = std::size_t(rank * double(delays.size() - 1));
    std::nth_element(delays.begin(), delays.begin() + std::ptrdiff_t(at), delays.end());
    return double(delays[at]) / NsPerUs;
}

Outcome judge(const Sent &sent, const Tally &tally)
{
    Outcome o;
    o.reordered = tally.reordered;
    o.changed = tally.damaged;
    for (std::size_t n = 0; n < tally.stamps.size(); ++n) {
        if (tally.stamps[n] == NotArrived)
            ++o.lost;
        else if (tally.stamps[n] != sent.stamps[n])
            ++o.changed;
    }
    o.arrived = tally.total - o.lost;
    const std::int64_t span = tally.lastArrival - sent.firstSend;
    if (span > 0) {
        o.arrivedPerSecond = double(o.arrived) * NsPerSecond / double(span);
        if (o.lost == 0)
            o.framesPerSecond = o.arrivedPerSecond;
    }
    o.medianUs = percentileUs(tally.delays, MedianRank);
    o.tailUs = percentileUs(tally.delays, TailRank);
    o.mostUs = percentileUs(tally.delays, MostRank);
    return o;
}

// ---- receivers ----

// Reads frames until the stream is complete or the caller says stop.
void receiveStream(int fd, Tally &tally, const std::atomic<bool> &stop)
{
    FrameCutter cutter;
    std::vector<std::uint8_t> buffer(ReadBufferSize);
    while (!tally.complete() && !stop.load()) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            const std::int64_t arrival = nowNs();
            cutter.feed(buffer.data(), std::size_t(n),
                        [&](const std::uint8_t *f) { tally.take(f, arrival); });
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            std::fprintf(stderr, "stream closed while receiving\n");
            return;
        } else {
            waitFor(fd, POLLIN);
        }
    }
}

// One frame per datagram is what the gateway sends: anything else counts as changed.
void receiveDatagrams(int fd, Tally &tally, const std::atomic<bool> &stop)
{
    std::vector<std::uint8_t> buffer(ReadBufferSize);
    while (!tally.complete() && !stop.load()) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            waitFor(fd, POLLIN);
            continue;
        }
        if (n == FrameSize) {
            tally.take(buffer.data(), nowNs());
        } else {
            tally.received.fetch_add(1, std::memory_order_release);
            ++tally.damaged;
        }
    }
}

// Late echoes of an earlier measurement must not count in the next one.
void discardDatagrams(int fd)
{
    std::array<std::uint8_t, 64> scrap {};
    while (::recv(fd, scrap.data(), scrap.size(), 0) >= 0) { }
}

// ---- writers ----

// As fast as the pipe takes them, in chunks of frames stamped when the chunk is made.
void writeBurst(int fd, Sent &sent, const std::atomic<bool> &stop)
{
    const auto total = std::int64_t(sent.stamps.size());
    std::vector<std::uint8_t> chunk;
    sent.firstSend = nowNs();
    for (std::int64_t n = 0; n < total && !stop.load(); n += ChunkFrames) {
        chunk.clear();
        const std::int64_t stamp = nowNs();
        for (std::int64_t k = n; k < std::min(total, n + ChunkFrames); ++k) {
            const Frame f = streamFrame(std::uint32_t(k), stamp);
            chunk.insert(chunk.end(), f.begin(), f.end());
            sent.stamps[std::size_t(k)] = stamp;
        }
        if (!writeAll(fd, chunk.data(), chunk.size(), stop))
            break;
        sent.count.store(std::min(total, n + ChunkFrames));
    }
    sent.finished.store(true);
}

// Frame n at t0 + n / rate, stamped just before it is written.
void writePaced(int fd, Sent &sent, std::int64_t rate, const std::atomic<bool> &stop)
{
    const auto total = std::int64_t(sent.stamps.size());
    const auto start = Clock::now();
    sent.firstSend = nowNs();
    for (std::int64_t n = 0; n < total && !stop.load(); ++n) {
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(n * std::int64_t(NsPerSecond) / rate));
        const std::int64_t stamp = nowNs();
        const Frame f = streamFrame(std::uint32_t(n), stamp);
        sent.stamps[std::size_t(n)] = stamp;
        if (!writeAll(fd, f.data(), f.size(), stop))
            break;
        sent.count.store(n + 1);
    }
    sent.finished.store(true);
}

// One frame per datagram at a fixed rate, whatever comes back: every datagram due by
// now is sent, then the thread naps, so the rate holds on average.
void sendOpenLoop(int out, quint16 port, Sent &sent, std::int64_t rate, const std::atomic<bool> &stop)
{
    const auto total = std::int64_t(sent.stamps.size());
    const sockaddr_in target = loopback(port);
    const auto start = Clock::now();
    sent.firstSend = nowNs();
    for (std::int64_t n = 0; n < total && !stop.load();) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
        const std::int64_t due
            = std::min(total, std::int64_t(double(elapsed.count()) * double(rate) / NsPerSecond) + 1);
        for (; n < due; ++n) {
            const std::int64_t stamp = nowNs();
            const Frame f = streamFrame(std::uint32_t(n), stamp);
            sent.stamps[std::size_t(n)] = stamp;
            if (!sendDatagram(out, target, f.data(), f.size())) {
                std::perror("sendto");
                sent.finished.store(true);
                return;
            }
        }
        sent.count.store(n);
        std::this_thread::sleep_for(SenderNap);
    }
    sent.finished.store(true);
}

// ---- the track box ----

// Plays the track box on the pseudo-terminal's master: answers the first ping,
// then hands every frame to the stream being measured.
class Box
{
public:
    explicit Box(int masterFd)
        : m_fd(masterFd)
        , m_thread([this] { run(); })
    {
    }
    ~Box()
    {
        m_stop.store(true);
        m_thread.join();
    }
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;

    void receiveInto(Tally *tally)
    {
        std::lock_guard lock(m_sinkLock);
        m_sink = tally;
    }
    bool pingAnswered() const { return m_answered.load(); }
    std::int64_t strayFrames() const
    {
        std::lock_guard lock(m_sinkLock);
        return m_stray;
    }

private:
    void run()
    {
        FrameCutter cutter;
        std::vector<std::uint8_t> buffer(ReadBufferSize);
        while (!m_stop.load()) {
            const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n <= 0) {
                waitFor(m_fd, POLLIN);
                continue;
            }
            const std::int64_t arrival = nowNs();
            std::lock_guard lock(m_sinkLock);
            cutter.feed(buffer.data(), std::size_t(n), [&](const std::uint8_t *f) { take(f, arrival); });
        }
    }
    void take(const std::uint8_t *frame, std::int64_t arrival)
    {
        const QByteArrayView view(frame, FrameSize);
        if (!m_answered.load() && TrackBox::isPingRequest(view)) {
            const QByteArray answer
                = TrackBox::pingAnswer(view, TrackBox::DefaultDeviceId, TrackBox::DefaultDeviceType);
            const std::atomic<bool> never {false};
            writeAll(m_fd, reinterpret_cast<const std::uint8_t *>(answer.constData()),
                     std::size_t(answer.size()), never);
            m_answered.store(true);
        } else if (m_sink) {
            m_sink->take(frame, arrival);
        } else {
            ++m_stray;
        }
    }

    int m_fd;
    std::atomic<bool> m_stop {false};
    std::atomic<bool> m_answered {false};
    mutable std::mutex m_sinkLock;
    Tally *m_sink = nullptr;
    std::int64_t m_stray = 0;
    std::thread m_thread; // last: starts once everything above exists
};

// ---- one measurement ----

// Keeps the event loop running while the workers move frames; returns once
// every receiver has everything, or neither sending nor receiving has moved
// for the idle limit (what is missing then is lost).
void awaitStreams(const char *what, const Sent &sent, const std::vector<const Tally *> &receivers,
                  Clock::duration idleLimit, bool reportStall = true)
{
    auto progress = [&] {
        std::int64_t sum = sent.count.load();
        for (const Tally *t : receivers)
            sum += t->received.load();
        return sum;
    };
    std::int64_t seen = -1;
    auto lastChange = Clock::now();
    runUntil(
        [&] {
            if (const std::int64_t now = progress(); now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            const bool all = std::all_of(receivers.begin(), receivers.end(),
                                         [](const Tally *t) { return t->complete(); });
            return all || Clock::now() - lastChange > idleLimit;
        },
        Clock::duration::max() / 2);
    if (reportStall && Clock::now() - lastChange > idleLimit) {
        std::fprintf(stderr, "%s stalled: %lld sent,", what, static_cast<long long>(sent.count.load()));
        for (const Tally *t : receivers)
            std::fprintf(stderr, " %lld received", static_cast<long long>(t->received.load()));
        std::fprintf(stderr, "\n");
    }
}

struct Pipes
{
    int serialMaster; // our end of the serial device
    int client; // TCP client of the relay under test
    quint16 udpPort; // where datagrams for the relay go
    Box *box;
    int echo; // bound to the echo port
};

Outcome serialToClient(const Pipes &p, std::int64_t total, std::int64_t rate)
{
    Sent sent(total);
    Tally tally(total);
    std::atomic<bool> stop {false};
    std::thread reader([&] { receiveStream(p.client, tally, stop); });
    std::thread writer([&] {
        rate > 0 ? writePaced(p.serialMaster, sent, rate, stop) : writeBurst(p.serialMaster, sent, stop);
    });
    awaitStreams(rate > 0 ? "serial -> TCP (paced)" : "serial -> TCP", sent, {&tally}, StreamIdleLimit);
    stop.store(true);
    writer.join();
    reader.join();
    return judge(sent, tally);
}

// The same burst to several clients at once: the slowest of them, and every frame lost anywhere.
Outcome serialToClients(int serialMaster, const std::vector<int> &clients, std::int64_t total)
{
    Sent sent(total);
    std::vector<std::unique_ptr<Tally>> tallies;
    std::vector<const Tally *> receivers;
    std::atomic<bool> stop {false};
    std::vector<std::thread> readers;
    for (const int client : clients) {
        tallies.push_back(std::make_unique<Tally>(total));
        receivers.push_back(tallies.back().get());
        readers.emplace_back(
            [&, client, tally = tallies.back().get()] { receiveStream(client, *tally, stop); });
    }
    std::thread writer([&] { writeBurst(serialMaster, sent, stop); });
    awaitStreams("serial -> TCP (several clients)", sent, receivers, StreamIdleLimit);
    stop.store(true);
    writer.join();
    Outcome slowest;
    for (std::size_t c = 0; c < readers.size(); ++c) {
        readers[c].join();
        const Outcome each = judge(sent, *tallies[c]);
        if (c == 0 || each.arrivedPerSecond < slowest.arrivedPerSecond)
            slowest = each;
        slowest.lost = std::max(slowest.lost, each.lost);
    }
    if (slowest.lost > 0)
        slowest.framesPerSecond = 0;
    return slowest;
}

Outcome clientToSerial(const Pipes &p, std::int64_t total)
{
    Sent sent(total);
    Tally tally(total);
    std::atomic<bool> stop {false};
    p.box->receiveInto(&tally);
    std::thread writer([&] { writeBurst(p.client, sent, stop); });
    awaitStreams("TCP -> serial", sent, {&tally}, StreamIdleLimit);
    stop.store(true);
    writer.join();
    p.box->receiveInto(nullptr);
    return judge(sent, tally);
}

// What came back of one run of datagrams, at UDP 15730 and at the TCP client.
struct Echo
{
    Outcome udp;
    Outcome tcp;
};

// Runs `send` on a thread of its own while both receivers count what comes back; `hold` runs on the
// window's thread before its events run again.
template<typename Send, typename Hold>
Echo echoRun(const char *what, const Pipes &p, std::int64_t total, Send send, Hold hold)
{
    discardDatagrams(p.echo);
    Sent sent(total);
    Tally udp(total);
    Tally tcp(total);
    std::atomic<bool> stop {false};
    const int out = udpSender();
    std::thread tcpReader([&] { receiveStream(p.client, tcp, stop); });
    std::thread udpReader([&] { receiveDatagrams(p.echo, udp, stop); });
    std::thread sender([&] {
        send(out, loopback(p.udpPort), sent, stop);
        sent.finished.store(true);
    });
    hold(sent);
    // Loss is what this measures, so a shortfall is no stall worth a message.
    awaitStreams(what, sent, {&udp, &tcp}, DatagramIdleLimit, false);
    stop.store(true);
    sender.join();
    udpReader.join();
    tcpReader.join();
    ::close(out);
    return {judge(sent, udp), judge(sent, tcp)};
}

Echo datagramStep(const Pipes &p, std::int64_t rate)
{
    return echoRun(
        "datagrams", p, rate * DatagramSeconds,
        [&](int out, const sockaddr_in &, Sent &sent, const std::atomic<bool> &stop) {
            sendOpenLoop(out, p.udpPort, sent, rate, stop);
        },
        [](const Sent &) {});
}

// Datagrams sent back to back while the window's thread is held by other work, as by
// a long handler: whatever the socket cannot queue meanwhile is gone.
Echo datagramBurst(const Pipes &p)
{
    std::atomic<bool> busy {false};
    return echoRun(
        "burst", p, BurstDatagrams,
        [&](int out, const sockaddr_in &target, Sent &sent, const std::atomic<bool> &) {
            while (!busy.load())
                std::this_thread::sleep_for(SenderNap);
            sent.firstSend = nowNs();
            for (std::int64_t n = 0; n < BurstDatagrams; ++n) {
                const std::int64_t stamp = nowNs();
                const Frame f = streamFrame(std::uint32_t(n), stamp);
                sent.stamps[std::size_t(n)] = stamp;
                if (!sendDatagram(out, target, f.data(), f.size()))
                    break;
                sent.count.store(n + 1);
            }
        },
        [&](const Sent &sent) {
            busy.store(true);
            const auto holdStart = Clock::now();
            while (!sent.finished.load() || Clock::now() - holdStart < BusyHold)
                std::this_thread::sleep_for(1ms);
        });
}

// The largest datagrams back to back: every frame must come back, each in a datagram of its own.
Echo datagramsLarge(const Pipes &p)
{
    return echoRun(
        "large datagrams", p, LargeDatagrams * FramesPerLargest,
        [&](int out, const sockaddr_in &target, Sent &sent, const std::atomic<bool> &) {
            std::vector<std::uint8_t> datagram;
            sent.firstSend = nowNs();
            for (std::int64_t n = 0; n < LargeDatagrams * FramesPerLargest; n += FramesPerLargest) {
                datagram.clear();
                const std::int64_t stamp = nowNs();
                for (std::int64_t k = n; k < n + FramesPerLargest; ++k) {
                    const Frame f = streamFrame(std::uint32_t(k), stamp);
                    datagram.insert(datagram.end(), f.begin(), f.end());
                    sent.stamps[std::size_t(k)] = stamp;
                }
                if (!sendDatagram(out, target, datagram.data(), datagram.size()))
                    break;
                sent.count.store(n + FramesPerLargest);
            }
        },
        [](const Sent &) {});
}

// ---- the gateway and the minimal relay ----

// "Öffnen", "Einstellungen übernehmen", "Verbinden" with the box answering the ping, and one TCP client.
bool connectGateway(FrmMain &w, Box &box, int &client)
{
    WindowDriver d {w};
    if (!d.enabled("Command1"))
        return false;
    d.open();
    if (!w.tcpListen()->isListening()) {
        std::fprintf(stderr, "frame port %d is taken: %s\n", FramePort, qPrintable(d.label("LFileProgress")));
        return false;
    }
    if (!clickIfEnabled(d, "Command3") || !clickIfEnabled(d, "Command4"))
        return false;
    if (!box.pingAnswered() || !d.enabled("Command5")) {
        std::fprintf(stderr, "no link: %s\n", qPrintable(d.label("Label5")));
        return false;
    }
    client = connectTcp(FramePort);
    return client >= 0 && runUntil([&] { return w.tcpClient()->state() == TcpConnection::Connected; }, SetupLimit);
}

// Closes the frame endpoints, gives room for `count` clients and opens them again with that
// many connected. The serial link stays.
bool reopenForClients(FrmMain &w, int count, std::vector<int> &clients)
{
    WindowDriver d {w};
    if (!clickIfEnabled(d, "Command2"))
        return false;
    w.setFrameClients(count);
    d.open();
    const QString all = QStringLiteral("Anfrage über TCP:15371, %1 von %1 Clients verbunden").arg(count);
    for (int c = 0; c < count; ++c)
        clients.push_back(connectTcp(FramePort));
    return std::all_of(clients.begin(), clients.end(), [](int fd) { return fd >= 0; })
        && runUntil([&] { return d.label("LFileProgress") == all; }, SetupLimit);
}

// The least a relay can do on the main thread: every byte read is written on, unexamined.
class MinimalRelay
{
public:
    bool start(const QString &device)
    {
        m_serial.setPortName(device);
        m_serial.setBaudRate(GatewayBaud);
        if (!m_serial.open(QIODevice::ReadWrite)) {
            std::fprintf(stderr, "minimal relay: %s\n", qPrintable(m_serial.errorString()));
            return false;
        }
        if (!m_server.listen(QHostAddress::LocalHost, 0) || !m_datagrams.bind(QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "minimal relay: no free port\n");
            return false;
        }
        QObject::connect(&m_serial, &QSerialPort::readyRead, [this] {
            if (m_peer)
                m_peer->write(m_serial.readAll());
        });
        QObject::connect(&m_datagrams, &QUdpSocket::readyRead, [this] { echoDatagrams(); });
        return true;
    }
    // Connects the client and waits until the server has taken it.
    int attachClient()
    {
        const int fd = connectTcp(m_server.serverPort());
        if (fd < 0 || !runUntil([&] { return m_server.hasPendingConnections(); }, SetupLimit))
            return -1;
        m_peer = m_server.nextPendingConnection();
        m_peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(m_peer, &QTcpSocket::readyRead, [this] { m_serial.write(m_peer->readAll()); });
        return fd;
    }
    quint16 datagramPort() const { return m_datagrams.localPort(); }

private:
    void echoDatagrams()
    {
        while (m_datagrams.hasPendingDatagrams()) {
            const QByteArray data = m_datagrams.receiveDatagram().data();
            for (qsizetype at = 0; at + FrameSize <= data.size(); at += FrameSize)
                m_datagrams.writeDatagram(data.sliced(at, FrameSize), QHostAddress::LocalHost, EchoPort);
            if (m_peer)
                m_peer->write(data);
        }
    }

    QSerialPort m_serial;
    QTcpServer m_server;
    QTcpSocket *m_peer = nullptr;
    QUdpSocket m_datagrams;
};

// ---- the runs ----

struct SerialRun
{
    Outcome burst;
    Outcome paced;
    Outcome fromClient;
};

struct DatagramRun
{
    std::array<Echo, DatagramRates.size()> steps;
    Echo burst;
    Echo large;
};

// Everything measured of one relay, run after run.
struct Relay
{
    const char *name;
    std::vector<SerialRun> serial;
    // The serial burst with three clients connected at once (the gateway only).
    std::vector<Outcome> threeClients;
    std::vector<DatagramRun> datagrams;
    // Reordered or changed anywhere, or lost where nothing may be lost.
    std::vector<std::string> faults;
    // Measurements of datagrams with frames missing.
    int datagramLosses = 0;
};

// The raw pair has no way back to the line: it has no box.
SerialRun measureSerial(const Pipes &p)
{
    return {serialToClient(p, BurstFrames, 0), serialToClient(p, PacedFrames, PacedRate),
            p.box ? clientToSerial(p, ClientFrames) : Outcome {}};
}

DatagramRun measureDatagrams(const Pipes &p)
{
    DatagramRun run;
    for (std::size_t i = 0; i < DatagramRates.size(); ++i)
        run.steps[i] = datagramStep(p, DatagramRates[i]);
    run.burst = datagramBurst(p);
    run.large = datagramsLarge(p);
    return run;
}

void progress(const char *what)
{
    std::printf("%s\n", what);
    std::fflush(stdout);
}

// ---- the report ----

template<typename Run, typename Figure> double medianOf(const std::vector<Run> &runs, Figure figure)
{
    std::vector<double> values;
    for (const Run &run : runs)
        values.push_back(double(figure(run)));
    return median(values);
}

template<typename Run, typename Figure> double worstOf(const std::vector<Run> &runs, Figure figure)
{
    double worst = 0;
    for (const Run &run : runs)
        worst = std::max(worst, double(figure(run)));
    return worst;
}

template<typename Run, typename Figure> std::string eachRun(const std::vector<Run> &runs, Figure figure)
{
    std::string all;
    for (const Run &run : runs)
        all += (all.empty() ? "" : " / ") + grouped(double(figure(run)));
    return all;
}

void printRow(const char *what, double gateway, double reference, const char *referenceName,
              const std::string &runs)
{
    const std::string ref = reference > 0 ? grouped(reference) : std::string("-");
    std::array<char, 16> ratio {'-'};
    if (reference > 0)
        std::snprintf(ratio.data(), ratio.size(), "%.2f", gateway / reference);
    std::printf("%-44s %11s %11s %6s %-8s %s\n", what, grouped(gateway).c_str(), ref.c_str(), ratio.data(),
                referenceName, runs.c_str());
}

void printTableHead(const char *title)
{
    std::printf("\n%s: median of %d runs\n", title, Runs);
    std::printf("%-44s %11s %11s %6s %-8s %s\n", "measurement", "gateway", "reference", "ratio", "of",
                "gateway runs");
}

void printSerialTable(const Relay &g, const Relay &raw, const Relay &minimal)
{
    printTableHead(
        "Serial and TCP (raw: a plain reader of a raw pseudo-terminal pair; minimal: a minimal relay)");
    const auto row = [&](const char *what, const Relay &reference, auto figure) {
        printRow(what, medianOf(g.serial, figure), medianOf(reference.serial, figure),
                 &reference == &raw ? "raw" : "minimal", eachRun(g.serial, figure));
    };
    row("serial -> TCP, frames/s (max)", raw, [](const SerialRun &s) { return s.burst.framesPerSecond; });
    row("serial -> TCP, frames/s (max)", minimal, [](const SerialRun &s) { return s.burst.framesPerSecond; });
    row("serial -> TCP at 2,000 frames/s, median us", raw,
        [](const SerialRun &s) { return s.paced.medianUs; });
    row("serial -> TCP at 2,000 frames/s, p99 us", raw, [](const SerialRun &s) { return s.paced.tailUs; });
    row("serial -> TCP at 2,000 frames/s, max us", raw, [](const SerialRun &s) { return s.paced.mostUs; });
    row("TCP -> serial, frames/s (max)", minimal,
        [](const SerialRun &s) { return s.fromClient.framesPerSecond; });
    if (!g.threeClients.empty()) {
        const auto rate = [](const Outcome &o) { return o.framesPerSecond; };
        printRow("serial -> TCP, 3 clients, slowest, frames/s", medianOf(g.threeClients, rate),
                 medianOf(raw.serial, [](const SerialRun &s) { return s.burst.framesPerSecond; }), "raw",
                 eachRun(g.threeClients, rate));
    }
    const auto tail = [](const SerialRun &s) { return s.paced.tailUs; };
    // The pseudo-terminal costs the plain reader as much: what the gateway adds is the difference.
    std::printf("%-44s %11s\n", "p99 at 2,000 frames/s, gateway - raw, us",
                grouped(medianOf(g.serial, tail) - medianOf(raw.serial, tail)).c_str());
}

void printLargeDatagramTable(const Relay &g, const Relay &minimal)
{
    printTableHead("UDP echo of 12 datagrams of 65,507 bytes (5,039 frames each) sent at once");
    const auto row = [&](const char *what, auto figure) {
        printRow(what, medianOf(g.datagrams, figure), medianOf(minimal.datagrams, figure), "minimal",
                 eachRun(g.datagrams, figure));
    };
    row("frames/s echoed to UDP 15730", [](const DatagramRun &d) { return d.large.udp.arrivedPerSecond; });
    row("frames/s echoed to the TCP client",
        [](const DatagramRun &d) { return d.large.tcp.arrivedPerSecond; });
    row("frames lost at UDP 15730", [](const DatagramRun &d) { return d.large.udp.lost; });
    row("frames lost at the TCP client", [](const DatagramRun &d) { return d.large.tcp.lost; });
}

std::string lostCell(const std::vector<DatagramRun> &runs, std::size_t step, bool viaTcp)
{
    const auto lost = [&](const DatagramRun &run) {
        const Echo &e = step < DatagramRates.size() ? run.steps[step] : run.burst;
        return (viaTcp ? e.tcp : e.udp).lost;
    };
    return grouped(medianOf(runs, lost)) + " (" + grouped(worstOf(runs, lost)) + ")";
}

std::string echoedCell(const std::vector<DatagramRun> &runs, std::size_t step)
{
    return grouped(
        medianOf(runs, [&](const DatagramRun &run) { return run.steps[step].udp.arrivedPerSecond; }));
}

std::string orderCell(const std::vector<DatagramRun> &runs, std::size_t step)
{
    std::int64_t wrong = 0;
    for (const DatagramRun &run : runs) {
        const Echo &e = step < DatagramRates.size() ? run.steps[step] : run.burst;
        wrong += e.udp.reordered + e.udp.changed + e.tcp.reordered + e.tcp.changed;
    }
    return wrong == 0 ? "ok" : grouped(double(wrong)) + " bad";
}

void printDatagramTable(const Relay &g, const Relay &r)
{
    std::printf("\nUDP echo, one 13-byte frame per datagram, open loop for %lld s per rate\n",
                static_cast<long long>(DatagramSeconds));
    std::printf(
        "lost: median of %d runs (worst); echoed/s at UDP 15730: median; order: reordered or changed, "
        "all runs\n",
        Runs);
    std::printf("%-11s %6s | %-15s %-15s %8s %5s | %-15s %-15s %8s %5s\n", "", "", "gateway", "", "", "",
                "minimal echo", "", "", "");
    std::printf("%-11s %6s | %-15s %-15s %8s %5s | %-15s %-15s %8s %5s\n", "rate/s", "sent", "lost @15730",
                "lost @TCP", "echoed/s", "order", "lost @15730", "lost @TCP", "echoed/s", "order");
    for (std::size_t i = 0; i <= DatagramRates.size(); ++i) {
        const bool burst = i == DatagramRates.size();
        const std::string rate = burst ? "burst, busy" : grouped(double(DatagramRates[i]));
        const double sent = burst ? double(BurstDatagrams) : double(DatagramRates[i] * DatagramSeconds);
        std::printf("%-11s %6s | %-15s %-15s %8s %5s | %-15s %-15s %8s %5s\n", rate.c_str(),
                    grouped(sent).c_str(), lostCell(g.datagrams, i, false).c_str(),
                    lostCell(g.datagrams, i, true).c_str(), burst ? "-" : echoedCell(g.datagrams, i).c_str(),
                    orderCell(g.datagrams, i).c_str(), lostCell(r.datagrams, i, false).c_str(),
                    lostCell(r.datagrams, i, true).c_str(), burst ? "-" : echoedCell(r.datagrams, i).c_str(),
                    orderCell(r.datagrams, i).c_str());
    }
    std::printf(
        "burst, busy: %lld datagrams back to back while the window's thread is held for at least %lld ms\n",
        static_cast<long long>(BurstDatagrams),
        static_cast<long long>(std::chrono::milliseconds(BusyHold).count()));
}

// Datagram loss is in the table; everything else that went wrong is listed here.
void collectFaults(Relay &relay)
{
    const auto note = [&](const std::string &where, const Outcome &o, bool lossShown) {
        if (o.reordered > 0 || o.changed > 0 || (o.lost > 0 && !lossShown))
            relay.faults.push_back(where + ": " + grouped(double(o.lost)) + " lost, "
                                   + grouped(double(o.reordered)) + " reordered, "
                                   + grouped(double(o.changed)) + " changed");
        if (o.lost > 0 && lossShown)
            ++relay.datagramLosses;
    };
    for (std::size_t run = 0; run < relay.serial.size(); ++run) {
        const std::string at = " (run " + std::to_string(run + 1) + ")";
        note("serial -> TCP (max)" + at, relay.serial[run].burst, false);
        note("serial -> TCP (2,000/s)" + at, relay.serial[run].paced, false);
        note("TCP -> serial" + at, relay.serial[run].fromClient, false);
    }
    for (std::size_t run = 0; run < relay.datagrams.size(); ++run) {
        const std::string at = " (run " + std::to_string(run + 1) + ")";
        for (std::size_t i = 0; i <= DatagramRates.size(); ++i) {
            const bool burst = i == DatagramRates.size();
            const Echo &e = burst ? relay.datagrams[run].burst : relay.datagrams[run].steps[i];
            const std::string what = burst ? "burst" : grouped(double(DatagramRates[i])) + "/s";
            note("UDP " + what + " -> UDP 15730" + at, e.udp, true);
            note("UDP " + what + " -> TCP" + at, e.tcp, true);
        }
        note("UDP large -> UDP 15730" + at, relay.datagrams[run].large.udp, true);
        note("UDP large -> TCP" + at, relay.datagrams[run].large.tcp, true);
    }
}

bool printFaults(const Relay &relay)
{
    if (relay.faults.empty() && relay.datagramLosses == 0) {
        std::printf("%s: every frame arrived once, in order, unchanged\n", relay.name);
        return true;
    }
    if (relay.datagramLosses > 0)
        std::printf("%s: DATAGRAMS LOST in %d of the measurements above\n", relay.name, relay.datagramLosses);
    for (const std::string &fault : relay.faults)
        std::printf("%s: %s\n", relay.name, fault.c_str());
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable("relay_bench"))
        return 2;
    QApplication app(argc, argv);
    const LoadWatch load;

    PseudoTerminal pty;
    QTemporaryDir dir;
    if (!pty.isOpen() || !dir.isValid()) {
        std::fprintf(stderr, "no pseudo-terminal or folder: %s\n", qPrintable(pty.errorString()));
        return 2;
    }
    const int echo = bindUdp(EchoPort, EchoReceiveBuffer);
    if (echo < 0) {
        std::fprintf(stderr, "echo port %d is taken\n", EchoPort);
        return 2;
    }
    writeSettings(dir.path());
    Box box(pty.masterFd());
    FrmMain w(portTable({{GatewayComPort, pty.slavePath()}}), dir.path());
    int gatewayClient = -1;
    if (!showWindow(w) || !connectGateway(w, box, gatewayClient)) {
        std::fprintf(stderr, "the gateway could not be set up\n");
        return 2;
    }
    std::printf("relay_bench: %s; %s\n", platformNote().c_str(),
                qPrintable(WindowDriver {w}.label("Label5")));
    Pipes gatewayPipes {pty.masterFd(), gatewayClient, FramePort, &box, echo};
    // The same pseudo-terminal pair with a plain reader on its other end: what the line itself costs.
    PseudoTerminal rawPair;
    const int rawReader = ::open(qPrintable(rawPair.slavePath()), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const Pipes rawPipes {rawPair.masterFd(), rawReader, 0, nullptr, -1};
    Relay gateway {"gateway", {}, {}, {}, {}, 0};
    Relay raw {"raw pseudo-terminal", {}, {}, {}, {}, 0};
    Relay reference {"minimal relay", {}, {}, {}, {}, 0};
    for (int run = 1; run <= Runs; ++run) {
        progress(("gateway and raw pseudo-terminal: serial and TCP, run " + std::to_string(run)).c_str());
        gateway.serial.push_back(measureSerial(gatewayPipes));
        raw.serial.push_back(measureSerial(rawPipes));
    }

    // Three clients at once: "Schließen", room for three, "Öffnen"; the link stays. The first of
    // them is the client of the datagram runs afterwards; the others leave.
    std::vector<int> three;
    if (!reopenForClients(w, 3, three))
        return 2;
    for (int run = 1; run <= Runs; ++run) {
        progress(("gateway: serial and TCP, three clients, run " + std::to_string(run)).c_str());
        gateway.threeClients.push_back(serialToClients(pty.masterFd(), three, BurstFrames));
    }
    std::for_each(three.begin() + 1, three.end(), ::close);
    gatewayPipes.client = three.front();

    // The gateway lets go of the device and the minimal relay takes it; the
    // gateway's datagram endpoint and TCP client stay, so the datagram runs alternate.
    if (!clickIfEnabled(WindowDriver {w}, "Command5"))
        return 2;
    MinimalRelay minimal;
    const int minimalClient = minimal.start(pty.slavePath()) ? minimal.attachClient() : -1;
    if (minimalClient < 0)
        return 2;
    const Pipes minimalPipes {pty.masterFd(), minimalClient, minimal.datagramPort(), &box, echo};
    for (int run = 1; run <= Runs; ++run) {
        progress(("minimal relay: serial and TCP, run " + std::to_string(run)).c_str());
        reference.serial.push_back(measureSerial(minimalPipes));
    }
    for (int run = 1; run <= Runs; ++run) {
        progress(("datagrams, run " + std::to_string(run)).c_str());
        gateway.datagrams.push_back(measureDatagrams(gatewayPipes));
        reference.datagrams.push_back(measureDatagrams(minimalPipes));
    }

    printSerialTable(gateway, raw, reference);
    printLargeDatagramTable(gateway, reference);
    printDatagramTable(gateway, reference);
    std::printf("\n");
    load.print();
    collectFaults(gateway);
    collectFaults(raw);
    collectFaults(reference);
    const bool gatewayClean = printFaults(gateway);
    printFaults(raw);
    printFaults(reference);
    std::printf("frames at the track box outside a measurement: %lld\n",
                static_cast<long long>(box.strayFrames()));

    ::close(gatewayClient);
    ::close(rawReader);
    ::close(minimalClient);
    ::close(echo);
    // Before anything at exit (a leak report of a sanitizer build) can end the process unflushed.
    std::fflush(stdout);
    return gatewayClean && box.strayFrames() == 0 ? 0 : 1;
}
