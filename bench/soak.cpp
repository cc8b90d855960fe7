// soak: every path of the gateway at once for minutes; every frame checked, memory and descriptors sampled.
//
// The window runs in a child process (this program again, with --gateway), shown on the
// display and clicked through its buttons by object name. A child of its own lets the soak
// outlive a crash and report it, and makes the memory and descriptors sampled from /proc
// the window's own rather than the harness's. The child answers "ping" at once, even
// inside a nested event pass, so the soak also sees how long the window stops answering.
//
// The parent plays everybody else: the simulated track box streaming at bus rate on the
// pseudo-terminal, a TCP frame client that sends frames back, a datagram sender and the
// receiver at UDP 15730, and waves of HTTP clients that download, reset mid-file,
// half-close and idle. Every minute it presses "Schließen" and "Öffnen". At the end, two
// phases with the rest still running: a flood of the largest datagrams at UDP 15731, and a
// crowd of connections that never send a request at the HTTP port.
#include "benchsupport.h"
#include "tcplistener.h"
#include "trackbox.h"

#include <QCommandLineParser>
#include <QProcess>
#include <QSocketNotifier>

#include <array>
#include <deque>
#include <numeric>
#include <optional>
#include <thread>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/time.h>

using namespace bench;
using namespace Qt::Literals::StringLiterals;

namespace {

constexpr double DefaultMinutes = 10;
constexpr auto Minute = 60s;
// A 250 kbit/s bus carries about 2,000 frames a second.
constexpr int BusRate = 2'000;
constexpr int ClientRate = 500;
constexpr int DatagramRate = 1'000;
// Before "Schließen" the numbered senders rest until nothing more arrives for this long,
// so that what they sent is through; a gateway that is further behind than the limit
// loses the rest at the close.
constexpr auto Settle = 500ms;
constexpr auto SettleLimit = 15s;
constexpr auto LastClickMargin = 10s;
constexpr auto CommandLimit = 30s;
// A window that does not answer a ping for this long counts as frozen.
constexpr auto FrozenLimit = 30s;
constexpr auto SampleEvery = 1s;
constexpr auto DrainQuiet = 2s;
constexpr auto DrainLimit = 60s;
constexpr auto StreamEndLimit = 60s;
constexpr auto WavesEndLimit = 120s;
constexpr auto DescriptorSettle = 3s;
constexpr auto ExitLimit = 10s;
constexpr auto ReconnectPause = 50ms;
constexpr int ReconnectAttempts = 40;
constexpr auto SenderNap = 500us;
constexpr int ReadBufferSize = 1 << 16;
constexpr std::size_t OutputCompactSize = 1 << 16;
// Numbers beyond this are damage, not frames of a soak.
constexpr std::uint32_t HighestNumber = 1u << 28;
constexpr double KiBPerMiB = 1024;
constexpr double RssGrowthLimitMiB = 1;
// The phases: largest datagrams as fast as the sender can for a while, then single datagrams
// timed from send to echo; a crowd of idle HTTP connections, with one download timed meanwhile.
constexpr auto FloodSpan = 10s;
constexpr auto PhaseSampleEvery = 100ms;
constexpr auto AfterFlood = 1s;
constexpr int Probes = 20;
constexpr auto ProbeLimit = 2s;
constexpr int LargestDatagram = 65'507;
constexpr double FloodGrowthLimitMiB = 64;
constexpr double EchoDelayLimitMs = 1000;
constexpr auto CrowdSpan = 15s;
constexpr int CrowdSize = 5000;
constexpr auto CrowdDownloadAfter = 5s;
constexpr auto CrowdDownloadLimit = 15s;

// ---- numbered frames ----

using Ident = std::array<std::uint8_t, 4>;
// The track box streams command 0x21; the TCP client's frames and the datagrams carry
// commands of their own, so the TCP client can tell the box's frames from the echoes.
constexpr Ident ClientIdent = {0x00, 0x46, 0x51, 0x56};
constexpr Ident DatagramIdent = {0x00, 0x44, 0x51, 0x56};
constexpr Ident FloodIdent = {0x00, 0x48, 0x51, 0x56};
constexpr Ident ProbeIdent = {0x00, 0x4A, 0x51, 0x56};
constexpr std::uint8_t DataLength = 8;
constexpr int LengthIndex = 4;
constexpr int NumberIndex = 5;
constexpr int ComplementIndex = 9;

using Frame = std::array<std::uint8_t, FrameSize>;

// Data bytes: the number and its complement, so that a damaged frame does not pass for another.
Frame numberedFrame(const Ident &ident, std::uint32_t number)
{
    Frame frame {};
    std::copy(ident.begin(), ident.end(), frame.begin());
    frame[LengthIndex] = DataLength;
    writeBigEndian(frame.data() + NumberIndex, number, 4);
    writeBigEndian(frame.data() + ComplementIndex, ~number, 4);
    return frame;
}

std::optional<std::uint32_t> numberIn(const Ident &ident, const std::uint8_t *frame)
{
    if (!std::equal(ident.begin(), ident.end(), frame) || frame[LengthIndex] != DataLength)
        return std::nullopt;
    const auto number = std::uint32_t(readBigEndian(frame + NumberIndex, 4));
    if (std::uint32_t(readBigEndian(frame + ComplementIndex, 4)) != std::uint32_t(~number))
        return std::nullopt;
    return number;
}

// One numbered stream as its receiver sees it; fed by one thread, judged after it ended.
class Sequence
{
public:
    void take(std::uint32_t number)
    {
        if (number >= HighestNumber) {
            ++damaged;
            return;
        }
        if (number >= m_seen.size())
            m_seen.resize(std::max<std::size_t>(number + 1, m_seen.size() * 2));
        if (m_seen[number]) {
            ++duplicated;
            return;
        }
        m_seen[number] = true;
        if (m_any && number < m_highest)
            ++reordered;
        m_highest = m_any ? std::max(m_highest, number) : number;
        m_any = true;
        received.fetch_add(1, std::memory_order_relaxed);
    }
    bool seen(std::uint32_t number) const { return number < m_seen.size() && m_seen[number]; }

    std::atomic<std::int64_t> received {0};
    std::int64_t damaged = 0;
    std::int64_t duplicated = 0;
    std::int64_t reordered = 0;

private:
    std::vector<bool> m_seen;
    std::uint32_t m_highest = 0;
    bool m_any = false;
};

// Numbers [first, end) of one stretch of a stream.
struct Range
{
    std::uint32_t first = 0;
    std::uint32_t end = 0;
};

struct Loss
{
    std::int64_t lost = 0;
    // Of those, the ones after the last arrival of a stretch that "Schließen" ended.
    std::int64_t atClose = 0;
};

Loss lossIn(const Sequence &sequence, const std::vector<Range> &ranges, bool lastEndedByClose)
{
    Loss loss;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Range &r = ranges[i];
        std::int64_t lastSeen = std::int64_t(r.first) - 1;
        for (std::uint32_t n = r.first; n < r.end; ++n) {
            if (sequence.seen(n))
                lastSeen = n;
            else
                ++loss.lost;
        }
        if (i + 1 < ranges.size() || lastEndedByClose)
            loss.atClose += std::int64_t(r.end) - 1 - lastSeen;
    }
    return loss;
}

// ---- what the threads share ----

struct Shared
{
    std::atomic<bool> stop {false};
    // The numbered senders may send; off while a "Schließen"/"Öffnen" cycle runs.
    std::atomic<bool> framesOpen {false};
    // New HTTP waves may start.
    std::atomic<bool> serverOpen {false};
    std::atomic<bool> stopWaves {false};
    std::atomic<bool> wavesDone {false};
    std::atomic<int> wavesRun {0};
    // Odd while a cycle runs: an HTTP client that failed across a change was cut by it.
    std::atomic<int> clicks {0};
    // Raised to make the TCP client (re)connect; the client answers with the same number.
    std::atomic<int> tcpGeneration {0};
    std::atomic<int> connectedGeneration {0};
    pid_t gatewayPid = 0;
    int descriptorsAtStart = 0;
    // The flood phase: the numbered datagrams rest; echoes of flood and probe frames are counted.
    std::atomic<bool> flooding {false};
    std::atomic<std::int64_t> floodEchoes {0};
    std::atomic<std::int64_t> floodAtClient {0};
    std::atomic<int> probesEchoed {0};
    std::atomic<std::int64_t> lastProbeEchoNs {0};
};

// Descriptors of the process; with `heldOnly`, only sockets, files and pipes: Qt's own
// event descriptors come and go with its helper threads and say nothing about peers.
int openDescriptors(pid_t pid, bool heldOnly = false)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[64] = {};
        const ssize_t n
            = heldOnly ? ::readlink((folder + entry->d_name).c_str(), target, sizeof target - 1) : 0;
        if (n >= 0 && std::strncmp(target, "anon_inode:", 11) != 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

double residentMiB(pid_t pid)
{
    QFile status(u"/proc/"_s + QString::number(pid) + u"/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / KiBPerMiB;
    }
    return -1;
}

// ---- datagrams ----

void sendDatagrams(Shared &s, std::vector<Range> &stretches)
{
    const int out = udpSender();
    const sockaddr_in target = loopback(FramePort);
    std::uint32_t next = 0;
    bool sending = false;
    Clock::time_point since;
    std::int64_t sentSince = 0;
    while (!s.stop.load()) {
        if (!s.framesOpen.load() || s.flooding.load()) {
            sending = false;
            std::this_thread::sleep_for(SenderNap);
            continue;
        }
        if (!sending) {
            sending = true;
            since = Clock::now();
            sentSince = 0;
            stretches.push_back({next, next});
        }
        const std::int64_t due
            = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count()
                * DatagramRate / 1'000'000
            + 1;
        for (; sentSince < due; ++sentSince, ++next) {
            const Frame f = numberedFrame(DatagramIdent, next);
            sendDatagram(out, target, f.data(), f.size());
            stretches.back().end = next + 1;
        }
        std::this_thread::sleep_for(SenderNap);
    }
    ::close(out);
}

void receiveDatagrams(int fd, Shared &s, Sequence &echoes)
{
    std::vector<std::uint8_t> buffer(ReadBufferSize);
    while (!s.stop.load()) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            waitFor(fd, POLLIN);
            continue;
        }
        const std::optional<std::uint32_t> number
            = n == FrameSize ? numberIn(DatagramIdent, buffer.data()) : std::nullopt;
        if (number) {
            echoes.take(*number);
        } else if (n == FrameSize && numberIn(FloodIdent, buffer.data())) {
            s.floodEchoes.fetch_add(1);
        } else if (n == FrameSize && numberIn(ProbeIdent, buffer.data())) {
            s.lastProbeEchoNs.store(nowNs());
            s.probesEchoed.fetch_add(1);
        } else {
            ++echoes.damaged;
        }
    }
}

// ---- the TCP frame client ----

struct ClientSide
{
    // The box's stream as it arrives; one stretch per connection, first to highest + 1.
    Sequence fromBox;
    std::vector<Range> boxStretches;
    Sequence echoes;
    // Our own frames, counted once wholly handed to the kernel; one stretch per open period.
    std::vector<Range> sentStretches;
    std::int64_t strangers = 0;
    std::int64_t partialAtClose = 0;
    std::int64_t connections = 0;
};

class TcpClient
{
public:
    TcpClient(Shared &s, ClientSide &c)
        : m_s(s)
        , m_c(c)
        , m_buffer(ReadBufferSize)
    {
    }

    void run()
    {
        while (!m_s.stop.load()) {
            if (m_s.tcpGeneration.load() != m_generation)
                reconnect();
            if (m_fd < 0) {
                std::this_thread::sleep_for(SenderNap);
                continue;
            }
            produce();
            const bool writing = m_outAt < m_out.size();
            waitFor(m_fd, short(POLLIN | (writing ? POLLOUT : 0)), 1ms);
            if (writing)
                flush();
            if (m_fd >= 0)
                receive();
        }
        if (m_fd >= 0)
            ::close(m_fd);
    }

private:
    void reconnect()
    {
        m_generation = m_s.tcpGeneration.load();
        if (m_fd >= 0)
            endConnection();
        for (int attempt = 0; attempt < ReconnectAttempts && m_fd < 0 && !m_s.stop.load(); ++attempt) {
            m_fd = connectTcp(FramePort);
            if (m_fd < 0)
                std::this_thread::sleep_for(ReconnectPause);
        }
        if (m_fd < 0) {
            std::fprintf(stderr, "soak: the TCP frame client cannot connect\n");
            return;
        }
        ++m_c.connections;
        m_freshConnection = true;
        m_s.connectedGeneration.store(m_generation);
    }

    void endConnection()
    {
        if (m_cutter.tailSize() > 0)
            ++m_c.partialAtClose;
        m_cutter.clear();
        ::close(m_fd);
        m_fd = -1;
        m_out.clear();
        m_outAt = 0;
        m_sending = false;
    }

    // Frames due at the client rate; a new open period starts once everything older is out.
    void produce()
    {
        if (!m_s.framesOpen.load()) {
            m_sending = false;
            return;
        }
        if (!m_sending) {
            if (m_outAt < m_out.size())
                return;
            m_sending = true;
            m_since = Clock::now();
            m_madeSince = 0;
            m_writtenSince = 0;
            m_c.sentStretches.push_back({m_next, m_next});
        }
        const std::int64_t due
            = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_since).count()
                * ClientRate / 1'000'000
            + 1;
        for (; m_madeSince < due; ++m_madeSince, ++m_next) {
            const Frame f = numberedFrame(ClientIdent, m_next);
            m_out.insert(m_out.end(), f.begin(), f.end());
        }
    }

    void flush()
    {
        const ssize_t n = ::send(m_fd, m_out.data() + m_outAt, m_out.size() - m_outAt, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        m_outAt += std::size_t(n);
        m_writtenSince += n;
        if (!m_c.sentStretches.empty())
            m_c.sentStretches.back().end
                = m_c.sentStretches.back().first + std::uint32_t(m_writtenSince / FrameSize);
        if (m_outAt == m_out.size() || m_outAt >= OutputCompactSize) {
            m_out.erase(m_out.begin(), m_out.begin() + std::ptrdiff_t(m_outAt));
            m_outAt = 0;
        }
    }

    void receive()
    {
        for (;;) {
            const ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
            if (n > 0) {
                m_cutter.feed(m_buffer.data(), std::size_t(n), [this](const std::uint8_t *f) { take(f); });
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                endConnection(); // "Schließen" ends the connection
            return;
        }
    }

    void take(const std::uint8_t *frame)
    {
        const QByteArrayView view(frame, FrameSize);
        if (const std::optional<quint32> fromBox = TrackBox::streamFrameNumber(view)) {
            m_c.fromBox.take(*fromBox);
            if (m_freshConnection)
                m_c.boxStretches.push_back({*fromBox, *fromBox + 1});
            m_freshConnection = false;
            Range &r = m_c.boxStretches.back();
            r.first = std::min(r.first, *fromBox);
            r.end = std::max(r.end, *fromBox + 1);
        } else if (const std::optional<std::uint32_t> echo = numberIn(DatagramIdent, frame)) {
            m_c.echoes.take(*echo);
        } else if (numberIn(FloodIdent, frame) || numberIn(ProbeIdent, frame)) {
            m_s.floodAtClient.fetch_add(1);
        } else {
            ++m_c.strangers;
        }
    }

    Shared &m_s;
    ClientSide &m_c;
    int m_fd = -1;
    int m_generation = 0;
    bool m_freshConnection = false;
    FrameCutter m_cutter;
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint8_t> m_out;
    std::size_t m_outAt = 0;
    bool m_sending = false;
    Clock::time_point m_since;
    std::int64_t m_madeSince = 0;
    std::int64_t m_writtenSince = 0;
    std::uint32_t m_next = 0;
};

// ---- HTTP waves ----

enum Kind { Download, Listing, Reset, HalfClose, Idle, KindCount };
constexpr std::array<const char *, KindCount> KindNames
    = {"download", "listing", "reset mid-file", "half-close", "idle"};
constexpr std::array<int, KindCount> WaveMix = {16, 4, 15, 10, 5};
constexpr qint64 PageSize = 256 * 1024;
constexpr qint64 FilmSize = 2 * 1024 * 1024;
constexpr qint64 HalfSize = 64 * 1024;
constexpr qsizetype ResetAfter = 4096;
constexpr auto IdleHold = 3s;
constexpr auto ClientTimeout = 30s;

struct Files
{
    QByteArray page = patternBytes(PageSize, 3);
    QByteArray film = patternBytes(FilmSize, 4);
    QByteArray half = patternBytes(HalfSize, 5);
};

struct HttpCounts
{
    std::array<std::atomic<int>, KindCount> ok {};
    std::array<std::atomic<int>, KindCount> cut {};
    std::array<std::atomic<int>, KindCount> failed {};
    int total(const std::array<std::atomic<int>, KindCount> &counts) const
    {
        int sum = 0;
        for (const auto &c : counts)
            sum += c.load();
        return sum;
    }
};

bool sendText(int fd, const QByteArray &text)
{
    return ::send(fd, text.constData(), std::size_t(text.size()), MSG_NOSIGNAL) == text.size();
}

bool answered(const QByteArray &response, const QByteArray &body)
{
    return response.startsWith("HTTP/1.0 200") && bodyOf(response) == body;
}

bool visit(Kind kind, quint16 port, const Files &files)
{
    const int fd = connectTcp(port, false);
    if (fd < 0)
        return false;
    const timeval limit {std::chrono::seconds(ClientTimeout).count(), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    QByteArray response;
    bool ok = false;
    switch (kind) {
    case Download:
        ok = sendText(fd, "GET /page.bin HTTP/1.0\r\n\r\n") && readToEnd(fd, response)
            && answered(response, files.page);
        break;
    case Listing:
        ok = sendText(fd, "GET / HTTP/1.0\r\n\r\n") && readToEnd(fd, response)
            && response.startsWith("HTTP/1.0 200") && bodyOf(response).contains("film.bin");
        break;
    case Reset: {
        ok = sendText(fd, "GET /film.bin HTTP/1.0\r\n\r\n");
        char buffer[ResetAfter];
        while (ok && response.size() < ResetAfter) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            ok = n > 0;
            if (ok)
                response.append(buffer, n);
        }
        // A reset instead of an orderly close, in the middle of the file.
        const linger resetOnClose {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
        break;
    }
    case HalfClose:
        ok = sendText(fd, "GET /half.bin HTTP/1.0\r\n\r\n") && ::shutdown(fd, SHUT_WR) == 0
            && readToEnd(fd, response) && answered(response, files.half);
        break;
    case Idle:
        std::this_thread::sleep_for(IdleHold);
        ok = true;
        break;
    case KindCount: break;
    }
    ::close(fd);
    return ok;
}

// Waits until the gateway is open, its frame client connected and no click runs.
bool awaitQuiet(const Shared &s)
{
    while (!s.stopWaves.load()) {
        if (s.serverOpen.load() && s.framesOpen.load() && s.clicks.load() % 2 == 0
            && s.connectedGeneration.load() == s.tcpGeneration.load())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The gateway's descriptors once it has closed what the wave left: the start value, or what it settled at.
int descriptorsAfterWave(const Shared &s)
{
    int count = -1;
    while (awaitQuiet(s)) {
        const int clicks = s.clicks.load();
        const auto deadline = Clock::now() + DescriptorSettle;
        do {
            count = openDescriptors(s.gatewayPid, true);
            if (count == s.descriptorsAtStart)
                break;
            std::this_thread::sleep_for(50ms);
        } while (Clock::now() < deadline);
        if (s.clicks.load() == clicks)
            break;
    }
    return count;
}

void runWaves(Shared &s, quint16 port, const Files &files, HttpCounts &counts, std::vector<int> &descriptors)
{
    while (awaitQuiet(s)) {
        // Every client visits again and again while the idle ones hold their connections;
        // one that failed waits for the next wave rather than hammer a broken server.
        const auto waveEnd = Clock::now() + IdleHold;
        std::vector<std::thread> clients;
        for (int kind = 0; kind < KindCount; ++kind) {
            for (int i = 0; i < WaveMix[std::size_t(kind)]; ++i) {
                clients.emplace_back([&, kind, waveEnd] {
                    bool ok = true;
                    do {
                        const int clicksBefore = s.clicks.load();
                        ok = visit(Kind(kind), port, files);
                        const bool clicked = clicksBefore % 2 != 0 || s.clicks.load() != clicksBefore;
                        auto &outcome = ok ? counts.ok : clicked ? counts.cut : counts.failed;
                        outcome[std::size_t(kind)].fetch_add(1);
                    } while (ok && Clock::now() < waveEnd && !s.stopWaves.load());
                });
            }
        }
        for (std::thread &client : clients)
            client.join();
        s.wavesRun.fetch_add(1);
        if (s.stopWaves.load())
            break;
        descriptors.push_back(descriptorsAfterWave(s));
    }
    s.wavesDone.store(true);
}

// ---- the window in its own process ----

void say(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    [[maybe_unused]] const ssize_t written
        = ::write(STDOUT_FILENO, text.constData(), std::size_t(text.size()));
}

// Reads the parent's commands line by line and clicks the window's buttons for them.
class CommandReader : public QObject
{
public:
    CommandReader(FrmMain &w, quint16 httpPort)
        : m_driver {w}
        , m_httpPort(httpPort)
        , m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_input, &QSocketNotifier::activated, this, &CommandReader::onReadable);
    }

private:
    void onReadable()
    {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            // The parent has gone: nobody is left to report to.
            m_input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        m_pending.append(chunk, n);
        for (qsizetype end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            // Answered at once, even inside a handler's nested event pass: it measures the event loop.
            if (line == "ping")
                say("pong");
            else
                m_queue.push_back(line);
        }
        // A click lets events run, which may bring us back here: the outer call runs what came meanwhile.
        if (m_running)
            return;
        m_running = true;
        while (!m_queue.empty()) {
            const QByteArray command = m_queue.front();
            m_queue.pop_front();
            run(command);
        }
        m_running = false;
    }

    void run(const QByteArray &command)
    {
        FrmMain &w = m_driver.w;
        if (command == "close") {
            say(clickIfEnabled(m_driver, "Command2") ? "closed" : "failed: Schließen is not enabled");
        } else if (command == "open") {
            m_driver.open(m_httpPort);
            const bool frameEndpoint = w.tcpListen()->isListening();
            say((frameEndpoint ? "opened " : "failed: ") + m_driver.label("LFileProgress").toUtf8());
        } else if (command == "quit") {
            say("bye");
            clickIfEnabled(m_driver, "Command6");
        } else {
            say("failed: unknown command " + command);
        }
    }

    WindowDriver m_driver;
    quint16 m_httpPort;
    QSocketNotifier m_input;
    QByteArray m_pending;
    std::deque<QByteArray> m_queue;
    bool m_running = false;
};

int runGateway(const QString &folder, const QString &device, quint16 httpPort)
{
    FrmMain w(portTable({{GatewayComPort, device}}), folder);
    if (!showWindow(w)) {
        say("failed: the window was not exposed");
        return 2;
    }
    WindowDriver d {w};
    d.open(httpPort);
    if (!w.tcpListen()->isListening()) {
        say("failed: " + d.label("LFileProgress").toUtf8());
        return 2;
    }
    if (!clickIfEnabled(d, "Command3") || !clickIfEnabled(d, "Command4") || !d.enabled("Command5")) {
        say("failed: no link: " + d.label("Label5").toUtf8());
        return 2;
    }
    say(QByteArray("ready ") + platformNote().c_str() + "; " + d.label("Label5").toUtf8());
    CommandReader reader(w, httpPort);
    return QCoreApplication::exec();
}

// The parent's side of the child: commands out, answers back, and how the process ended.
class Gateway
{
public:
    bool start(const QString &folder, const QString &device, quint16 httpPort)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { onOutput(); });
        QObject::connect(&m_process, &QProcess::finished, [this](int code, QProcess::ExitStatus status) {
            m_exited = true;
            m_exitCode = code;
            m_crashed = status == QProcess::CrashExit;
            m_exitTime = Clock::now();
            if (onExit)
                onExit();
        });
        m_process.start(QCoreApplication::applicationFilePath(),
                        {u"--gateway"_s, folder, device, QString::number(httpPort)});
        return m_process.waitForStarted();
    }

    // Sends a command (none: just wait) and runs the event loop until the child answers.
    std::optional<QByteArray> ask(const QByteArray &command, Clock::duration limit = CommandLimit)
    {
        if (!command.isEmpty())
            m_process.write(command + '\n');
        runUntil([this] { return !m_lines.empty() || m_exited; }, limit);
        if (m_lines.empty())
            return std::nullopt;
        QByteArray line = m_lines.front();
        m_lines.pop_front();
        return line;
    }

    // A probe of the window's event loop; one at a time.
    void ping()
    {
        if (m_exited)
            return;
        if (m_pingSent) {
            m_frozen = m_frozen || Clock::now() - *m_pingSent > FrozenLimit;
            return;
        }
        m_pingSent = Clock::now();
        m_process.write("ping\n");
    }

    // Called when the child ends, at whatever point of the run.
    std::function<void()> onExit;

    qint64 pid() const { return m_process.processId(); }
    bool exited() const { return m_exited; }
    bool frozen() const { return m_frozen; }
    bool gone() const { return m_exited || m_frozen; }
    bool crashed() const { return m_crashed; }
    int exitCode() const { return m_exitCode; }
    Clock::time_point exitTime() const { return m_exitTime; }
    double longestSilenceMs() const
    {
        double longest = m_longestReplyMs;
        if (m_pingSent)
            longest = std::max(longest, msSince(*m_pingSent));
        return longest;
    }

    void kill()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    static double msSince(Clock::time_point then)
    {
        return double(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - then).count())
            / 1e3;
    }

    void onOutput()
    {
        m_buffer += m_process.readAllStandardOutput();
        for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            if (line == "pong" && m_pingSent) {
                m_longestReplyMs = std::max(m_longestReplyMs, msSince(*m_pingSent));
                m_pingSent.reset();
            } else {
                m_lines.push_back(line);
            }
        }
    }

    QProcess m_process;
    QByteArray m_buffer;
    std::deque<QByteArray> m_lines;
    std::optional<Clock::time_point> m_pingSent;
    double m_longestReplyMs = 0;
    bool m_exited = false;
    bool m_crashed = false;
    bool m_frozen = false;
    int m_exitCode = 0;
    Clock::time_point m_exitTime;
};

// ---- the run ----

struct Sample
{
    double seconds;
    double rssMiB;
    int descriptors;
};

void keepRunning(Gateway &g, Clock::duration span)
{
    const auto until = Clock::now() + span;
    runUntil([&] { return g.gone() || Clock::now() >= until; }, span);
}

struct Streams
{
    ClientSide client;
    Sequence toBox;
    Sequence datagramEchoes;
    std::vector<Range> datagramStretches;
    std::int64_t boxStreamed = 0;
    bool boxFinished = false;
};

// "Schließen" and "Öffnen" as a user presses them, with the numbered senders resting around it;
// how long the frames already sent took to arrive goes to `settled`.
bool clickCycle(Gateway &g, Shared &s, const Streams &f, Clock::duration &settled)
{
    s.clicks.fetch_add(1);
    s.framesOpen.store(false);
    const auto resting = Clock::now();
    std::int64_t seen = -1;
    auto lastChange = resting;
    runUntil(
        [&] {
            // The box's stream goes on meanwhile; only what the resting senders sent counts.
            const std::int64_t now = f.toBox.received.load() + f.datagramEchoes.received.load()
                + f.client.echoes.received.load();
            if (now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            return g.gone() || Clock::now() - lastChange >= Settle;
        },
        SettleLimit);
    settled = lastChange - resting;
    s.serverOpen.store(false);
    const std::optional<QByteArray> closed = g.ask("close");
    const std::optional<QByteArray> opened = closed == "closed" ? g.ask("open") : std::nullopt;
    if (!opened || !opened->startsWith("opened")) {
        std::fprintf(stderr, "soak: Schließen/Öffnen: %s / %s\n", closed.value_or("no answer").constData(),
                     opened.value_or("no answer").constData());
        return false;
    }
    const int generation = s.tcpGeneration.fetch_add(1) + 1;
    runUntil([&] { return g.gone() || s.connectedGeneration.load() == generation; }, SetupLimit);
    s.serverOpen.store(true);
    s.framesOpen.store(true);
    s.clicks.fetch_add(1);
    return s.connectedGeneration.load() == generation;
}

std::int64_t framesSoFar(const Streams &f)
{
    return f.client.fromBox.received.load() + f.client.echoes.received.load() + f.toBox.received.load()
        + f.datagramEchoes.received.load();
}

struct StreamRow
{
    const char *name;
    std::int64_t sent;
    std::int64_t received;
    Loss loss;
    const Sequence *sequence;
    std::int64_t extraDamaged;
};

std::int64_t framesIn(const std::vector<Range> &stretches)
{
    std::int64_t count = 0;
    for (const Range &r : stretches)
        count += r.end - r.first;
    return count;
}

class Soak
{
public:
    explicit Soak(double minutes)
        : m_minutes(minutes)
    {
    }
    ~Soak() { stopThreads(); }
    Soak(const Soak &) = delete;
    Soak &operator=(const Soak &) = delete;

    bool prepare();
    void run();
    void flood();
    void crowd();
    void finish();
    // Prints the report; true when everything held.
    bool report();

private:
    bool writeFolder();
    void onBoxFrame(const QByteArray &frame);
    void sample();
    void stopThreads();
    bool reportFrames();
    void reportGateway();
    void reportResources();
    void reportHttp();
    void reportPhases();

    const double m_minutes;
    const LoadWatch m_load;
    QTemporaryDir m_folder;
    const Files m_files;
    TrackBox m_box;
    int m_echoFd = -1;
    quint16 m_httpPort = 0;
    Gateway m_gateway;
    Shared m_s;
    Streams m_f;
    HttpCounts m_http;
    TcpClient m_tcpClient {m_s, m_f.client};
    std::vector<std::thread> m_threads;
    std::thread m_waves;
    std::vector<int> m_waveDescriptors;
    std::vector<Sample> m_samples;
    QTimer m_sampler;
    int m_nextMinute = 1;
    Clock::time_point m_start;
    Clock::time_point m_deadline;
    int m_cycles = 0;
    std::vector<std::string> m_phases;
    Clock::duration m_longestSettle {};
    int m_waveAtExit = 0;
    bool m_endedDuringRun = false;
    bool m_frozen = false;
    bool m_quitCleanly = false;
    std::vector<std::string> m_faults;
};

bool Soak::writeFolder()
{
    writeSettings(m_folder.path());
    return writeFile(m_folder.filePath(u"page.bin"_s), m_files.page)
        && writeFile(m_folder.filePath(u"film.bin"_s), m_files.film)
        && writeFile(m_folder.filePath(u"half.bin"_s), m_files.half);
}

void Soak::onBoxFrame(const QByteArray &frame)
{
    if (TrackBox::isPingRequest(frame))
        return;
    if (const auto number = numberIn(ClientIdent, reinterpret_cast<const std::uint8_t *>(frame.constData())))
        m_f.toBox.take(*number);
    else
        ++m_f.toBox.damaged;
}

// The window in its process with the link up, the frame client connected, the workers running.
bool Soak::prepare()
{
    if (!m_folder.isValid() || !m_box.isOpen() || !writeFolder()) {
        std::fprintf(stderr, "soak: no folder, files or pseudo-terminal: %s\n",
                     qPrintable(m_box.errorString()));
        return false;
    }
    m_echoFd = bindUdp(EchoPort);
    if (m_echoFd < 0) {
        std::fprintf(stderr, "soak: echo port %d is taken\n", EchoPort);
        return false;
    }
    m_box.setRecording(false);
    QObject::connect(&m_box, &TrackBox::frameReceived,
                     [this](const QByteArray &frame) { onBoxFrame(frame); });
    QObject::connect(&m_box, &TrackBox::streamFinished, [this] { m_f.boxFinished = true; });
    // What is sent after the child has gone says nothing about it.
    m_gateway.onExit = [this] {
        m_waveAtExit = m_s.wavesRun.load() + 1;
        m_s.framesOpen.store(false);
        m_s.stopWaves.store(true);
    };
    m_httpPort = freeTcpPort();
    const std::optional<QByteArray> ready = m_gateway.start(m_folder.path(), m_box.portPath(), m_httpPort)
        ? m_gateway.ask({}, SetupLimit * 4)
        : std::nullopt;
    if (!ready || !ready->startsWith("ready")) {
        std::fprintf(stderr, "soak: the gateway did not start: %s\n",
                     ready.value_or("no answer").constData());
        return false;
    }
    m_s.gatewayPid = pid_t(m_gateway.pid());
    std::printf("soak: %.1f min; gateway pid %lld, %s\n", m_minutes, static_cast<long long>(m_s.gatewayPid),
                ready->mid(6).constData());

    m_threads.emplace_back([this] { m_tcpClient.run(); });
    m_threads.emplace_back([this] { receiveDatagrams(m_echoFd, m_s, m_f.datagramEchoes); });
    m_threads.emplace_back([this] { sendDatagrams(m_s, m_f.datagramStretches); });
    m_s.tcpGeneration.store(1);
    runUntil([this] { return m_gateway.gone() || m_s.connectedGeneration.load() == 1; }, SetupLimit);
    keepRunning(m_gateway, 1s);
    m_s.descriptorsAtStart = openDescriptors(m_s.gatewayPid, true);
    return !m_gateway.gone() && m_s.connectedGeneration.load() == 1;
}

void Soak::sample()
{
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    m_samples.push_back({seconds, residentMiB(m_s.gatewayPid), openDescriptors(m_s.gatewayPid)});
    m_gateway.ping();
    if (seconds < m_nextMinute * 60.0)
        return;
    const Sample &now = m_samples.back();
    std::printf("%6d %8.1f %5d %6d %7d %5d %6d %12s %12s %12s %12s %10.0f\n", m_nextMinute++, now.rssMiB,
                now.descriptors, m_s.wavesRun.load(), m_http.total(m_http.ok), m_http.total(m_http.cut),
                m_http.total(m_http.failed), grouped(double(m_f.client.fromBox.received.load())).c_str(),
                grouped(double(m_f.toBox.received.load())).c_str(),
                grouped(double(m_f.datagramEchoes.received.load())).c_str(),
                grouped(double(m_f.client.echoes.received.load())).c_str(), m_gateway.longestSilenceMs());
    std::fflush(stdout);
}

// Everything flows until the deadline, with "Schließen"/"Öffnen" every minute.
void Soak::run()
{
    m_start = Clock::now();
    m_deadline = m_start
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_minutes * 60));
    m_f.boxStreamed = std::int64_t(std::chrono::duration<double>(m_deadline - m_start).count() * BusRate);
    m_box.stream(m_f.boxStreamed, BusRate);
    m_s.framesOpen.store(true);
    m_s.serverOpen.store(true);
    m_waves = std::thread([this] { runWaves(m_s, m_httpPort, m_files, m_http, m_waveDescriptors); });

    std::printf("\n%6s %8s %5s %6s %7s %5s %6s %12s %12s %12s %12s %10s\n", "minute", "RSS MiB", "fds",
                "waves", "HTTP ok", "cut", "failed", "serial->TCP", "TCP->serial", "UDP->15730", "UDP->TCP",
                "silent ms");
    std::printf("(RSS and fds of the window's process now; frame columns: received so far)\n");
    QObject::connect(&m_sampler, &QTimer::timeout, [this] { sample(); });
    m_sampler.start(SampleEvery);

    const auto unbounded = Clock::duration::max() / 2;
    for (auto nextClick = m_start + Minute; !m_gateway.gone(); nextClick += Minute) {
        if (nextClick > m_deadline - LastClickMargin) {
            runUntil([this] { return m_gateway.gone() || Clock::now() >= m_deadline; }, unbounded);
            break;
        }
        runUntil([&] { return m_gateway.gone() || Clock::now() >= nextClick; }, unbounded);
        Clock::duration settled {};
        if (m_gateway.gone() || !clickCycle(m_gateway, m_s, m_f, settled))
            break;
        m_longestSettle = std::max(m_longestSettle, settled);
        ++m_cycles;
    }
}

// Highest RSS and descriptor count of the window's process while `span` runs.
struct Peak
{
    double rssMiB = 0;
    int descriptors = 0;
};

Peak watch(Gateway &g, pid_t pid, Clock::duration span)
{
    Peak peak {residentMiB(pid), openDescriptors(pid, true)};
    const auto until = Clock::now() + span;
    auto nextSample = Clock::now();
    runUntil(
        [&] {
            if (Clock::now() >= nextSample) {
                peak.rssMiB = std::max(peak.rssMiB, residentMiB(pid));
                peak.descriptors = std::max(peak.descriptors, openDescriptors(pid, true));
                nextSample += PhaseSampleEvery;
            }
            return g.gone() || Clock::now() >= until;
        },
        span);
    return peak;
}

std::string format(const char *pattern, auto... values)
{
    char line[512];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

// The largest datagrams at UDP 15731 as fast as one sender can; what the window holds meanwhile,
// and how soon a single datagram is echoed once the flood has ended.
void Soak::flood()
{
    const pid_t pid = m_s.gatewayPid;
    m_s.flooding.store(true);
    const double rssBefore = residentMiB(pid);
    const int descriptorsBefore = openDescriptors(pid, true);
    std::atomic<bool> stop {false};
    std::int64_t sent = 0;
    std::thread sender([&] {
        const int out = udpSender();
        const sockaddr_in target = loopback(FramePort);
        std::vector<std::uint8_t> datagram;
        for (std::uint32_t i = 0; datagram.size() + FrameSize <= std::size_t(LargestDatagram); ++i) {
            const Frame f = numberedFrame(FloodIdent, i);
            datagram.insert(datagram.end(), f.begin(), f.end());
        }
        while (!stop.load()) {
            if (sendDatagram(out, target, datagram.data(), datagram.size()))
                ++sent;
        }
        ::close(out);
    });
    const Peak peak = watch(m_gateway, pid, FloodSpan);
    stop.store(true);
    sender.join();
    keepRunning(m_gateway, AfterFlood);
    const double rssAfter = residentMiB(pid);

    const int out = udpSender();
    std::vector<double> delays;
    int lost = 0;
    for (int i = 0; i < Probes && !m_gateway.gone(); ++i) {
        const Frame f = numberedFrame(ProbeIdent, std::uint32_t(i));
        const std::int64_t sentAt = nowNs();
        const int echoedBefore = m_s.probesEchoed.load();
        sendDatagram(out, loopback(FramePort), f.data(), f.size());
        if (runUntil([&] { return m_s.probesEchoed.load() > echoedBefore; }, ProbeLimit))
            delays.push_back(double(m_s.lastProbeEchoNs.load() - sentAt) / 1e6);
        else
            ++lost;
    }
    ::close(out);
    m_s.flooding.store(false);
    const double longest = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
    m_phases.push_back(format("UDP flood, %lld s of %d-byte datagrams: %s sent (%s frames); echoed to 15730: %s "
                              "frames, to the TCP client: %s",
                              static_cast<long long>(std::chrono::seconds(FloodSpan).count()), LargestDatagram,
                              grouped(double(sent)).c_str(), grouped(double(sent) * (LargestDatagram / FrameSize)).c_str(),
                              grouped(double(m_s.floodEchoes.load())).c_str(),
                              grouped(double(m_s.floodAtClient.load())).c_str()));
    m_phases.push_back(format("  RSS %.1f MiB before, highest %.1f, %.1f a second after; descriptors %d before, highest %d",
                              rssBefore, peak.rssMiB, rssAfter, descriptorsBefore, peak.descriptors));
    m_phases.push_back(format("  echo of a single datagram %lld s after the flood: median %.2f ms, longest %.2f ms; "
                              "%d of %d not echoed within %lld s",
                              static_cast<long long>(std::chrono::seconds(AfterFlood).count()), median(delays), longest,
                              lost, Probes, static_cast<long long>(std::chrono::seconds(ProbeLimit).count())));
    if (peak.rssMiB - rssBefore > FloodGrowthLimitMiB)
        m_faults.push_back("the UDP flood grew the window's memory by more than 64 MiB");
    if (lost > 0 || longest > EchoDelayLimitMs)
        m_faults.push_back("a datagram after the flood was not echoed within a second");
}

// Connections that never send a request, more than the server may hold; one download meanwhile.
void Soak::crowd()
{
    const pid_t pid = m_s.gatewayPid;
    // Waves would judge descriptors the crowd holds: they rest, and the one running finishes.
    m_s.serverOpen.store(false);
    const int descriptorsBefore = openDescriptors(pid, true);
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> idle;
    for (int i = 0; i < CrowdSize; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(m_httpPort);
        if (fd >= 0)
            ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        idle.push_back(fd);
    }
    std::atomic<double> downloadMs {-1};
    std::thread download([&] {
        std::this_thread::sleep_for(CrowdDownloadAfter);
        const auto start = Clock::now();
        if (visit(Download, m_httpPort, m_files))
            downloadMs.store(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    });
    const Peak peak = watch(m_gateway, pid, CrowdSpan);
    download.join();
    for (const int fd : idle)
        ::close(fd);
    keepRunning(m_gateway, DescriptorSettle);
    const int descriptorsAfter = openDescriptors(pid, true);
    m_s.serverOpen.store(true);
    m_phases.push_back(format("idle HTTP crowd, %d connections for %lld s: window descriptors %d before, highest %d, "
                              "%d after; RSS highest %.1f MiB; a download meanwhile took %.0f ms",
                              CrowdSize, static_cast<long long>(std::chrono::seconds(CrowdSpan).count()),
                              descriptorsBefore, peak.descriptors, descriptorsAfter, peak.rssMiB, downloadMs.load()));
    if (downloadMs.load() < 0 || downloadMs.load() > double(std::chrono::milliseconds(CrowdDownloadLimit).count()))
        m_faults.push_back("no HTTP answer within 15 s among the idle crowd");
}

// The last wave finishes, the senders stop, everything in flight arrives, "Ende" is pressed.
void Soak::finish()
{
    m_s.stopWaves.store(true);
    runUntil([this] { return m_s.wavesDone.load(); }, WavesEndLimit);
    m_s.framesOpen.store(false);
    runUntil([this] { return m_gateway.gone() || m_f.boxFinished; }, StreamEndLimit);
    std::int64_t seen = -1;
    auto lastChange = Clock::now();
    runUntil(
        [&] {
            if (const std::int64_t now = framesSoFar(m_f); now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            return m_gateway.gone() || Clock::now() - lastChange > DrainQuiet;
        },
        DrainLimit);
    m_sampler.stop();
    if (!m_gateway.gone())
        m_samples.push_back({std::chrono::duration<double>(Clock::now() - m_start).count(),
                             residentMiB(m_s.gatewayPid), openDescriptors(m_s.gatewayPid)});
    m_endedDuringRun = m_gateway.exited();
    m_frozen = m_gateway.frozen();
    if (!m_gateway.gone()) {
        const std::optional<QByteArray> bye = m_gateway.ask("quit");
        runUntil([this] { return m_gateway.exited(); }, ExitLimit);
        m_quitCleanly
            = bye == "bye" && m_gateway.exited() && !m_gateway.crashed() && m_gateway.exitCode() == 0;
    }
    stopThreads();
}

void Soak::stopThreads()
{
    if (!m_gateway.exited())
        m_gateway.kill();
    m_s.stop.store(true);
    m_s.stopWaves.store(true);
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    if (m_waves.joinable())
        m_waves.join();
    if (m_echoFd >= 0)
        ::close(std::exchange(m_echoFd, -1));
}

bool Soak::reportFrames()
{
    // The box's stream reaches the client only while it is connected: each connection is
    // one stretch, and the last one must hold the stream's end once it is through.
    std::vector<Range> boxStretches = m_f.client.boxStretches;
    if (m_f.boxFinished && !boxStretches.empty() && !m_endedDuringRun)
        boxStretches.back().end = std::uint32_t(m_f.boxStreamed);
    const std::int64_t datagrams = framesIn(m_f.datagramStretches);
    const ClientSide &c = m_f.client;
    const std::vector<StreamRow> rows = {
        {"serial -> TCP client", m_f.boxFinished ? m_f.boxStreamed : -1, c.fromBox.received.load(),
         lossIn(c.fromBox, boxStretches, false), &c.fromBox, c.strangers},
        {"TCP client -> serial", framesIn(c.sentStretches), m_f.toBox.received.load(),
         lossIn(m_f.toBox, c.sentStretches, false), &m_f.toBox, 0},
        {"UDP -> UDP 15730", datagrams, m_f.datagramEchoes.received.load(),
         lossIn(m_f.datagramEchoes, m_f.datagramStretches, false), &m_f.datagramEchoes, 0},
        {"UDP -> TCP client", datagrams, c.echoes.received.load(),
         lossIn(c.echoes, m_f.datagramStretches, false), &c.echoes, 0},
    };
    std::printf("\n%-24s %11s %11s %7s %9s %8s %10s %11s\n", "frames", "sent", "received", "lost", "at close",
                "damaged", "reordered", "duplicated");
    bool clean = true;
    for (const StreamRow &r : rows) {
        const std::int64_t damaged = r.sequence->damaged + r.extraDamaged;
        std::printf("%-24s %11s %11s %7s %9s %8s %10s %11s\n", r.name,
                    r.sent < 0 ? "-" : grouped(double(r.sent)).c_str(), grouped(double(r.received)).c_str(),
                    grouped(double(r.loss.lost)).c_str(), grouped(double(r.loss.atClose)).c_str(),
                    grouped(double(damaged)).c_str(), grouped(double(r.sequence->reordered)).c_str(),
                    grouped(double(r.sequence->duplicated)).c_str());
        clean = clean && r.loss.lost == 0 && damaged == 0 && r.sequence->reordered == 0
            && r.sequence->duplicated == 0;
    }
    if (m_endedDuringRun)
        std::printf("the gateway ended during the run: frames in flight then count as lost\n");
    std::printf(
        "serial -> TCP counts only frames the box streamed while the client was connected; \"at close\" "
        "is the part of \"lost\" after the last arrival before a Schließen\n");
    std::printf("TCP client connections: %lld; partial frames at a close: %lld; frames of no stream at the "
                "client: %lld\n",
                static_cast<long long>(c.connections), static_cast<long long>(c.partialAtClose),
                static_cast<long long>(c.strangers));
    return clean;
}

void Soak::reportGateway()
{
    std::printf("\n");
    if (m_endedDuringRun) {
        const double after = std::chrono::duration<double>(m_gateway.exitTime() - m_start).count();
        if (m_gateway.crashed())
            std::printf("gateway: CRASHED by signal %d (%s) after %.1f s, during wave %d, after %d "
                        "Schließen/Öffnen\n",
                        m_gateway.exitCode(), strsignal(m_gateway.exitCode()), after, m_waveAtExit, m_cycles);
        else
            std::printf("gateway: ENDED with exit code %d after %.1f s\n", m_gateway.exitCode(), after);
        m_faults.push_back("the gateway ended during the run");
    } else if (m_frozen) {
        std::printf("gateway: FROZEN, no answer for over %lld s\n",
                    static_cast<long long>(std::chrono::seconds(FrozenLimit).count()));
        m_faults.push_back("the window froze");
    } else {
        std::printf("gateway: no crash; %d Schließen/Öffnen; ended %s on \"Ende\"\n", m_cycles,
                    m_quitCleanly ? "cleanly" : "BADLY");
        if (!m_quitCleanly)
            m_faults.push_back("the gateway did not end cleanly on \"Ende\"");
    }
    std::printf("longest time the window did not answer: %.0f ms\n", m_gateway.longestSilenceMs());
    std::printf("longest time frames still arrived after their senders stopped before a Schließen: %.1f s "
                "(limit %lld s)\n",
                std::chrono::duration<double>(m_longestSettle).count(),
                static_cast<long long>(std::chrono::seconds(SettleLimit).count()));
}

void Soak::reportResources()
{
    const auto afterMinute
        = std::find_if(m_samples.begin(), m_samples.end(), [](const Sample &x) { return x.seconds >= 60; });
    if (afterMinute != m_samples.end() && afterMinute + 1 < m_samples.end()) {
        double highest = 0;
        for (auto it = afterMinute; it != m_samples.end(); ++it)
            highest = std::max(highest, it->rssMiB);
        const double growth = m_samples.back().rssMiB - afterMinute->rssMiB;
        std::printf(
            "RSS: %.1f MiB after the first minute, %.1f MiB at the end, highest %.1f MiB: growth %.2f MiB\n",
            afterMinute->rssMiB, m_samples.back().rssMiB, highest, growth);
        if (growth >= RssGrowthLimitMiB)
            m_faults.push_back("RSS grew after the first minute");
    } else {
        std::printf("RSS: not judged, the run ended before its second minute\n");
    }

    int differing = 0;
    std::string firstDiffering;
    for (std::size_t wave = 0; wave < m_waveDescriptors.size(); ++wave) {
        if (m_waveDescriptors[wave] != m_s.descriptorsAtStart && differing++ == 0)
            firstDiffering = "first after wave " + std::to_string(wave + 1) + ": "
                + std::to_string(m_waveDescriptors[wave]);
    }
    std::string verdict = std::to_string(differing) + " times NOT back, " + firstDiffering;
    if (m_waveDescriptors.empty())
        verdict = "none judged";
    else if (differing == 0)
        verdict = "always back to the start value";
    std::printf("descriptors (sockets, files, pipes): %d at start; after %zu waves: %s\n",
                m_s.descriptorsAtStart, m_waveDescriptors.size(), verdict.c_str());
    if (differing > 0)
        m_faults.push_back("descriptors did not return to their start value");
}

void Soak::reportPhases()
{
    std::printf("\n");
    for (const std::string &line : m_phases)
        std::printf("%s\n", line.c_str());
}

void Soak::reportHttp()
{
    std::printf("\n%-16s %8s %8s %8s  (%d at a time: ", "HTTP visits", "ok", "cut", "failed",
                std::accumulate(WaveMix.begin(), WaveMix.end(), 0));
    for (int kind = 0; kind < KindCount; ++kind)
        std::printf("%s%d %s", kind ? ", " : "", WaveMix[std::size_t(kind)], KindNames[std::size_t(kind)]);
    std::printf(")\n");
    for (std::size_t kind = 0; kind < KindCount; ++kind)
        std::printf("%-16s %8d %8d %8d\n", KindNames[kind], m_http.ok[kind].load(), m_http.cut[kind].load(),
                    m_http.failed[kind].load());
    std::printf("\"cut\": ended by Schließen or refused while closed\n");
    if (m_http.total(m_http.failed) > 0)
        m_faults.push_back("HTTP clients failed while the server was open");
}

bool Soak::report()
{
    if (!reportFrames())
        m_faults.push_back("frames lost, damaged, reordered or duplicated while open");
    reportGateway();
    reportResources();
    reportHttp();
    reportPhases();
    std::printf("\n");
    m_load.print();
    std::printf("soak %s\n", m_faults.empty() ? "passed" : "FAILED:");
    for (const std::string &fault : m_faults)
        std::printf("  %s\n", fault.c_str());
    return m_faults.empty();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "--gateway") == 0) {
        QApplication app(argc, argv);
        return runGateway(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                          quint16(std::atoi(argv[4])));
    }
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Runs every path of the gateway at once and checks every frame."_s);
    parser.addHelpOption();
    const QCommandLineOption minutes(u"minutes"_s, u"How long to run (default 10)."_s, u"minutes"_s,
                                     QString::number(DefaultMinutes));
    parser.addOption(minutes);
    parser.process(app);
    if (!displayAvailable("soak"))
        return 2;
    bool ok = false;
    const double length = parser.value(minutes).toDouble(&ok);
    if (!ok || length <= 0) {
        std::fprintf(stderr, "soak: --minutes needs a positive number\n");
        return 2;
    }
    // A peer that resets makes a send fail; that must not end the soak.
    std::signal(SIGPIPE, SIG_IGN);
    Soak soak(length);
    if (!soak.prepare())
        return 2;
    soak.run();
    // The crowd first: what a flood leaves behind says nothing about the crowd.
    soak.crowd();
    soak.flood();
    soak.finish();
    const bool held = soak.report();
    // Before anything at exit (a leak report of a sanitizer build) can end the process unflushed.
    std::fflush(stdout);
    return held ? 0 : 1;
}
