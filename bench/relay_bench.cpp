// Measures how fast and how promptly the gateway relays frames, beside a raw copy over the same pipes.
//
// The window runs alone on the main thread; the track box, the writers and the
// receivers are threads with plain POSIX I/O, so the harness costs the gateway
// as little as possible. Every frame is numbered and carries its send time:
// receivers count what was lost, reordered or changed, and the program fails
// when any count is not zero. No time is asserted.
#include "frmmain.h"
#include "socket.h"
#include "trackbox.h"
#include "windowdriver.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkDatagram>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int FrameSize = 13;
constexpr int LengthIndex = 4;
constexpr int StampIndex = 5;
// Not 8: the gateway examines 8-byte frames, every other length passes untouched.
constexpr std::uint8_t StreamLength = 5;
constexpr int ByteBits = 8;
constexpr int NumberBytes = 4;
constexpr int StampBytes = 8;

constexpr quint16 FramePort = 15731;
constexpr quint16 EchoPort = 15730;
constexpr int GatewayComPort = 3;
constexpr qint32 ReferenceBaud = 115200;

constexpr std::int64_t BurstFrames = 1'000'000;
constexpr std::int64_t PacedFrames = 10'000;
constexpr std::int64_t PacedRate = 2'000;
constexpr std::int64_t ClientFrames = 1'000'000;
constexpr std::int64_t DatagramFrames = 50'000;
constexpr std::int64_t ChunkFrames = 64;
constexpr std::int64_t DatagramWindow = 64;

// A 250 kbit/s bus carries about 2,000 extended frames with 8 data bytes a second.
constexpr double CanFramesPerSecond = 2'000;
constexpr double RequiredMultiple = 20;
constexpr double LatencyGoalUs = 1'000;

constexpr auto PollSlice = 20ms;
constexpr auto LoopPoll = 5ms;
// Nothing arrived for this long after the last send: what is missing is lost.
constexpr auto IdleLimit = 3s;
constexpr auto SetupLimit = 5s;
constexpr int ReadBufferSize = 1 << 16;
constexpr int SocketBufferSize = 1 << 20;
constexpr std::int64_t NotArrived = -1;
constexpr double NsPerSecond = 1e9;
constexpr double NsPerUs = 1e3;
constexpr double MedianRank = 0.50;
constexpr double TailRank = 0.99;

using Frame = std::array<std::uint8_t, FrameSize>;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::uint64_t readBigEndian(const std::uint8_t *bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << ByteBits) | bytes[i];
    return value;
}

void writeBigEndian(std::uint8_t *bytes, std::uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i, value >>= ByteBits)
        bytes[i] = std::uint8_t(value);
}

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

// What one receiver saw of one numbered stream.
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
    // Wrong length byte, a number out of range or twice.
    std::int64_t damaged = 0;
    std::int64_t lastArrival = 0;
    std::vector<std::int64_t> stamps;
    std::vector<std::int64_t> delays;
};

// Whole frames out of a byte stream, the rest kept for the next piece.
class FrameCutter
{
public:
    template<typename Take> void feed(const std::uint8_t *bytes, std::size_t size, Take &&take)
    {
        m_tail.insert(m_tail.end(), bytes, bytes + size);
        std::size_t at = 0;
        for (; m_tail.size() - at >= FrameSize; at += FrameSize)
            take(m_tail.data() + at);
        m_tail.erase(m_tail.begin(), m_tail.begin() + std::ptrdiff_t(at));
    }

private:
    std::vector<std::uint8_t> m_tail;
};

struct Outcome
{
    double framesPerSecond = 0;
    std::int64_t lost = 0;
    std::int64_t reordered = 0;
    std::int64_t changed = 0;
    double medianUs = 0;
    double tailUs = 0;
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
    const std::int64_t span = tally.lastArrival - sent.firstSend;
    if (o.lost == 0 && span > 0)
        o.framesPerSecond = double(tally.total) * NsPerSecond / double(span);
    o.medianUs = percentileUs(tally.delays, MedianRank);
    o.tailUs = percentileUs(tally.delays, TailRank);
    return o;
}

// ---- plain POSIX I/O for the threads ----

bool waitFor(int fd, short events)
{
    pollfd p {fd, events, 0};
    return ::poll(&p, 1, int(std::chrono::milliseconds(PollSlice).count())) > 0;
}

// Writes everything, waiting while the pipe is full; false on an error or when told to stop.
bool writeAll(int fd, const std::uint8_t *bytes, std::size_t size, const std::atomic<bool> &stop)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            std::perror("write");
            return false;
        } else {
            if (stop.load())
                return false;
            waitFor(fd, POLLOUT);
        }
    }
    return true;
}

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

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connectTcp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("connect");
        ::close(fd);
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

int bindUdp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int size = SocketBufferSize;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("bind");
        ::close(fd);
        return -1;
    }
    return fd;
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

// One frame per datagram, never more than the window ahead of what came back
// on the echo port; one thread sends and receives, so the window needs no lock.
void exchangeDatagrams(int out, quint16 port, int echoFd, Sent &sent, Tally &echo,
                       const std::atomic<bool> &stop)
{
    const auto total = std::int64_t(sent.stamps.size());
    const sockaddr_in target = loopback(port);
    std::vector<std::uint8_t> buffer(ReadBufferSize);
    std::int64_t n = 0;
    sent.firstSend = nowNs();
    while (!echo.complete() && !stop.load()) {
        for (; n < total && n - echo.received.load() < DatagramWindow; ++n) {
            const std::int64_t stamp = nowNs();
            const Frame f = streamFrame(std::uint32_t(n), stamp);
            sent.stamps[std::size_t(n)] = stamp;
            if (::sendto(out, f.data(), f.size(), 0, reinterpret_cast<const sockaddr *>(&target),
                         sizeof target)
                < 0)
                break; // a full send buffer: the echoes below make room
        }
        sent.count.store(n);
        sent.finished.store(n == total);
        const ssize_t got = ::recv(echoFd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            waitFor(echoFd, POLLIN);
            continue;
        }
        const std::int64_t arrival = nowNs();
        for (ssize_t at = 0; at + FrameSize <= got; at += FrameSize)
            echo.take(buffer.data() + at, arrival);
        if (got % FrameSize != 0)
            ++echo.damaged;
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

// ---- the main thread ----

// Runs the window's event loop until done() holds or the limit passes.
bool runUntil(const std::function<bool()> &done, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || Clock::now() > deadline)
            loop.quit();
    });
    poll.start(LoopPoll);
    if (!done())
        loop.exec();
    return done();
}

// Keeps the event loop running while the workers move frames; returns once
// every receiver has everything, or neither sending nor receiving has moved
// for IdleLimit (what is missing then is lost).
void awaitStreams(const char *what, const Sent &sent, std::initializer_list<const Tally *> receivers)
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
            return all || Clock::now() - lastChange > IdleLimit;
        },
        Clock::duration::max() / 2);
    if (Clock::now() - lastChange > IdleLimit) {
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

struct Results
{
    Outcome burst;
    Outcome paced;
    Outcome fromClient;
    Outcome datagramEcho;
    Outcome datagramTcp;
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
    awaitStreams(rate > 0 ? "serial -> TCP (paced)" : "serial -> TCP", sent, {&tally});
    stop.store(true);
    writer.join();
    reader.join();
    return judge(sent, tally);
}

Outcome clientToSerial(const Pipes &p, std::int64_t total)
{
    Sent sent(total);
    Tally tally(total);
    std::atomic<bool> stop {false};
    p.box->receiveInto(&tally);
    std::thread writer([&] { writeBurst(p.client, sent, stop); });
    awaitStreams("TCP -> serial", sent, {&tally});
    stop.store(true);
    writer.join();
    p.box->receiveInto(nullptr);
    return judge(sent, tally);
}

std::pair<Outcome, Outcome> datagramsToEchoAndClient(const Pipes &p, std::int64_t total)
{
    Sent sent(total);
    Tally echo(total);
    Tally tcp(total);
    std::atomic<bool> stop {false};
    const int out = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::thread tcpReader([&] { receiveStream(p.client, tcp, stop); });
    std::thread exchange([&] { exchangeDatagrams(out, p.udpPort, p.echo, sent, echo, stop); });
    awaitStreams("UDP -> UDP 15730 + TCP", sent, {&echo, &tcp});
    stop.store(true);
    exchange.join();
    tcpReader.join();
    ::close(out);
    return {judge(sent, echo), judge(sent, tcp)};
}

Results measure(const Pipes &p)
{
    Results r;
    r.burst = serialToClient(p, BurstFrames, 0);
    r.paced = serialToClient(p, PacedFrames, PacedRate);
    r.fromClient = clientToSerial(p, ClientFrames);
    std::tie(r.datagramEcho, r.datagramTcp) = datagramsToEchoAndClient(p, DatagramFrames);
    return r;
}

// ---- the gateway and the raw copy ----

QString preparedFolder(const QTemporaryDir &dir)
{
    QFile ini(dir.filePath(u"RIri.ini"_s));
    if (ini.open(QIODevice::WriteOnly))
        ini.write("riri\r\nPortNr=3\r\nBaudRate=115200\r\n");
    return dir.path();
}

bool clickIfEnabled(const WindowDriver &d, const char *name)
{
    if (!d.enabled(name)) {
        std::fprintf(stderr, "button %s is not enabled\n", name);
        return false;
    }
    d.click(name);
    return true;
}

// "Öffnen", "Einstellungen übernehmen", "Verbinden" with the box answering the ping, and one TCP client.
bool connectGateway(FrmMain &w, Box &box, int &client)
{
    WindowDriver d {w};
    if (!d.enabled("Command1"))
        return false;
    d.open();
    if (w.tcpListen()->state() != Socket::Listening) {
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
    return client >= 0 && runUntil([&] { return w.tcpListen()->state() == Socket::Connected; }, SetupLimit);
}

// The least a relay can do on the main thread: every byte read is written on, unexamined.
class RawCopy
{
public:
    bool start(const QString &device)
    {
        m_serial.setPortName(device);
        m_serial.setBaudRate(ReferenceBaud);
        if (!m_serial.open(QIODevice::ReadWrite)) {
            std::fprintf(stderr, "raw copy: %s\n", qPrintable(m_serial.errorString()));
            return false;
        }
        if (!m_server.listen(QHostAddress::LocalHost, 0) || !m_datagrams.bind(QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "raw copy: no free port\n");
            return false;
        }
        QObject::connect(&m_serial, &QSerialPort::readyRead, [this] {
            if (m_peer)
                m_peer->write(m_serial.readAll());
        });
        QObject::connect(&m_datagrams, &QUdpSocket::readyRead, [this] { copyDatagrams(); });
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
    void copyDatagrams()
    {
        while (m_datagrams.hasPendingDatagrams()) {
            const QByteArray data = m_datagrams.receiveDatagram().data();
            m_datagrams.writeDatagram(data, QHostAddress::LocalHost, EchoPort);
            if (m_peer)
                m_peer->write(data);
        }
    }

    QSerialPort m_serial;
    QTcpServer m_server;
    QTcpSocket *m_peer = nullptr;
    QUdpSocket m_datagrams;
};

// ---- the report ----

std::string grouped(double value)
{
    std::string digits = std::to_string(std::llround(value));
    for (auto at = std::ptrdiff_t(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(std::size_t(at), 1, ',');
    return digits;
}

void printRow(const char *what, double gateway, double reference)
{
    const std::string ref = reference > 0 ? grouped(reference) : std::string("-");
    std::array<char, 16> ratio {'-'};
    if (reference > 0)
        std::snprintf(ratio.data(), ratio.size(), "%.2f", gateway / reference);
    std::printf("%-44s %12s %12s %7s\n", what, grouped(gateway).c_str(), ref.c_str(), ratio.data());
}

void printTable(const Results &g, const Results &r)
{
    std::printf("\n%-44s %12s %12s %7s\n", "measurement", "gateway", "reference", "ratio");
    printRow("serial -> TCP, frames/s (max)", g.burst.framesPerSecond, r.burst.framesPerSecond);
    printRow("serial -> TCP at 2,000 frames/s, median us", g.paced.medianUs, r.paced.medianUs);
    printRow("serial -> TCP at 2,000 frames/s, p99 us", g.paced.tailUs, r.paced.tailUs);
    printRow("TCP -> serial, frames/s (max)", g.fromClient.framesPerSecond, r.fromClient.framesPerSecond);
    printRow("UDP -> UDP 15730 + TCP, frames/s (window 64)", g.datagramTcp.framesPerSecond,
             r.datagramTcp.framesPerSecond);
    printRow("  of which at UDP 15730, frames/s", g.datagramEcho.framesPerSecond,
             r.datagramEcho.framesPerSecond);
}

void printRequirement(const Results &g, const Results &r)
{
    const double required = CanFramesPerSecond * RequiredMultiple;
    std::printf("\nCAN bus at 250 kbit/s: about %s frames/s; required: %.0fx = %s frames/s\n",
                grouped(CanFramesPerSecond).c_str(), RequiredMultiple, grouped(required).c_str());
    const std::pair<const char *, double> rates[] = {
        {"serial -> TCP", g.burst.framesPerSecond},
        {"TCP -> serial", g.fromClient.framesPerSecond},
        {"UDP -> UDP 15730 + TCP", std::min(g.datagramTcp.framesPerSecond, g.datagramEcho.framesPerSecond)},
    };
    for (const auto &[what, rate] : rates)
        std::printf("  %-24s %8.1fx CAN  %s\n", what, rate / CanFramesPerSecond,
                    rate >= required ? "met" : "NOT met");
    // The pseudo-terminal and the sockets cost the raw copy as much: what the gateway adds is the difference.
    const double added = g.paced.tailUs - r.paced.tailUs;
    std::printf(
        "  %-24s p99 %.0f us at 2,000 frames/s (raw copy %.0f us): adds %.0f us (goal < %.0f us)  %s\n",
        "serial -> TCP latency", g.paced.tailUs, r.paced.tailUs, added, LatencyGoalUs,
        added < LatencyGoalUs ? "met" : "NOT met");
}

// Prints the counts of every stream; true when all are zero.
bool printChecks(const char *side, const Results &x)
{
    const std::pair<const char *, const Outcome *> streams[] = {
        {"serial -> TCP (max)", &x.burst}, {"serial -> TCP (2,000/s)", &x.paced},
        {"TCP -> serial", &x.fromClient},  {"UDP -> UDP 15730", &x.datagramEcho},
        {"UDP -> TCP", &x.datagramTcp},
    };
    bool clean = true;
    for (const auto &[what, o] : streams) {
        std::printf("%-10s %-26s %8lld %10lld %8lld\n", side, what, static_cast<long long>(o->lost),
                    static_cast<long long>(o->reordered), static_cast<long long>(o->changed));
        clean = clean && o->lost == 0 && o->reordered == 0 && o->changed == 0;
    }
    return clean;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    PseudoTerminal pty;
    QTemporaryDir dir;
    if (!pty.isOpen() || !dir.isValid()) {
        std::fprintf(stderr, "no pseudo-terminal or folder: %s\n", qPrintable(pty.errorString()));
        return 2;
    }
    const int echo = bindUdp(EchoPort);
    if (echo < 0) {
        std::fprintf(stderr, "echo port %d is taken\n", EchoPort);
        return 2;
    }
    Box box(pty.masterFd());
    FrmMain w(portTable({{GatewayComPort, pty.slavePath()}}), preparedFolder(dir));
    int gatewayClient = -1;
    if (!connectGateway(w, box, gatewayClient)) {
        std::fprintf(stderr, "the gateway could not be set up\n");
        return 2;
    }
    std::printf("gateway: %s; measuring ...\n", qPrintable(WindowDriver {w}.label("Label5")));
    std::fflush(stdout);
    const Results gateway = measure({pty.masterFd(), gatewayClient, FramePort, &box, echo});

    // The gateway lets go of the device; the raw copy takes the same one.
    if (!clickIfEnabled(WindowDriver {w}, "Command5"))
        return 2;
    RawCopy copy;
    const int copyClient = copy.start(pty.slavePath()) ? copy.attachClient() : -1;
    if (copyClient < 0)
        return 2;
    std::printf("reference: raw copy on the main thread; measuring ...\n");
    std::fflush(stdout);
    const Results reference = measure({pty.masterFd(), copyClient, copy.datagramPort(), &box, echo});

    printTable(gateway, reference);
    printRequirement(gateway, reference);
    std::printf("\n%-10s %-26s %8s %10s %8s\n", "relay", "stream", "lost", "reordered", "changed");
    const bool gatewayClean = printChecks("gateway", gateway);
    const bool referenceClean = printChecks("reference", reference);
    const std::int64_t stray = box.strayFrames();
    std::printf("frames at the track box outside a measurement: %lld\n", static_cast<long long>(stray));

    ::close(gatewayClient);
    ::close(copyClient);
    ::close(echo);
    const bool clean = gatewayClean && referenceClean && stray == 0;
    std::printf("%s\n",
                clean ? "every frame arrived once, in order, unchanged"
                      : "FRAMES LOST, REORDERED OR CHANGED");
    return clean ? 0 : 1;
}
