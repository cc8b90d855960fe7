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
// half-close and idle. Every minute it presses "Schließen" and "Öffnen".
#include "benchsupport.h"
#include "socket.h"
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

// ---- numbered frames ----

using Ident = std::array<std::uint8_t, 4>;
// The track box streams command 0x21; the TCP client's frames and the datagrams carry
// commands of their own, so the TCP client can tell the box's frames from the echoes.
constexpr Ident ClientIdent = {0x00, 0x46, 0x51, 0x56};
constexpr Ident DatagramIdent = {0x00, 0x44, 0x51, 0x56};
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
        if (!s.framesOpen.load()) {
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
        if (number)
            echoes.take(*number);
        else
            ++echoes.damaged;
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
        // Every client visits again and again while the idle ones hold their connections.
        const auto waveEnd = Clock::now() + IdleHold;
        std::vector<std::thread> clients;
        for (int kind = 0; kind < KindCount; ++kind) {
            for (int i = 0; i < WaveMix[std::size_t(kind)]; ++i) {
                clients.emplace_back([&, kind, waveEnd] {
                    do {
                        const int clicksBefore = s.clicks.load();
                        const bool ok = visit(Kind(kind), port, files);
                        const bool clicked = clicksBefore % 2 != 0 || s.clicks.load() != clicksBefore;
                        (ok            ? counts.ok
                             : clicked ? counts.cut
                                       : counts.failed)[std::size_t(kind)]
                            .fetch_add(1);
                    } while (Clock::now() < waveEnd && !s.stopWaves.load());
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
            const bool frameEndpoint = w.tcpListen()->state() == Socket::Listening;
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
    if (w.tcpListen()->state() != Socket::Listening) {
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

void printMinuteRow(double minute, const Sample &sample, const Shared &s, const Streams &f,
                    const HttpCounts &http, const Gateway &g)
{
    std::printf("%6.0f %8.1f %5d %6d %7d %5d %6d %12s %12s %12s %12s %10.0f\n", minute, sample.rssMiB,
                sample.descriptors, s.wavesRun.load(), http.total(http.ok), http.total(http.cut),
                http.total(http.failed), grouped(double(f.client.fromBox.received.load())).c_str(),
                grouped(double(f.toBox.received.load())).c_str(),
                grouped(double(f.datagramEchoes.received.load())).c_str(),
                grouped(double(f.client.echoes.received.load())).c_str(), g.longestSilenceMs());
    std::fflush(stdout);
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

bool printStreams(const std::vector<StreamRow> &rows)
{
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
    return clean;
}

int soak(double minutes)
{
    const LoadWatch load;
    QTemporaryDir folder;
    const Files files;
    TrackBox box;
    if (!folder.isValid() || !box.isOpen()) {
        std::fprintf(stderr, "soak: no folder or pseudo-terminal: %s\n", qPrintable(box.errorString()));
        return 2;
    }
    writeSettings(folder.path());
    if (!writeFile(folder.filePath(u"page.bin"_s), files.page)
        || !writeFile(folder.filePath(u"film.bin"_s), files.film)
        || !writeFile(folder.filePath(u"half.bin"_s), files.half)) {
        std::fprintf(stderr, "soak: cannot write the files to serve\n");
        return 2;
    }
    const int echoFd = bindUdp(EchoPort);
    if (echoFd < 0) {
        std::fprintf(stderr, "soak: echo port %d is taken\n", EchoPort);
        return 2;
    }

    Shared s;
    Streams f;
    HttpCounts http;
    std::vector<int> waveDescriptors;
    std::vector<Sample> samples;
    box.setRecording(false);
    QObject::connect(&box, &TrackBox::frameReceived, [&](const QByteArray &frame) {
        if (TrackBox::isPingRequest(frame))
            return;
        if (const auto number
            = numberIn(ClientIdent, reinterpret_cast<const std::uint8_t *>(frame.constData())))
            f.toBox.take(*number);
        else
            ++f.toBox.damaged;
    });
    QObject::connect(&box, &TrackBox::streamFinished, [&] { f.boxFinished = true; });

    const quint16 httpPort = freeTcpPort();
    Gateway g;
    int waveAtExit = 0;
    // What is sent after the child has gone says nothing about it.
    g.onExit = [&] {
        waveAtExit = s.wavesRun.load() + 1;
        s.framesOpen.store(false);
        s.stopWaves.store(true);
    };
    const std::optional<QByteArray> ready
        = g.start(folder.path(), box.portPath(), httpPort) ? g.ask({}, SetupLimit * 4) : std::nullopt;
    if (!ready || !ready->startsWith("ready")) {
        std::fprintf(stderr, "soak: the gateway did not start: %s\n",
                     ready.value_or("no answer").constData());
        g.kill();
        return 2;
    }
    s.gatewayPid = pid_t(g.pid());
    std::printf("soak: %.1f min; gateway pid %lld, %s\n", minutes, static_cast<long long>(s.gatewayPid),
                ready->mid(6).constData());

    TcpClient tcpClient(s, f.client);
    std::thread clientThread([&] { tcpClient.run(); });
    std::thread datagramReceiver([&] { receiveDatagrams(echoFd, s, f.datagramEchoes); });
    std::thread datagramSender([&] { sendDatagrams(s, f.datagramStretches); });
    s.tcpGeneration.store(1);
    runUntil([&] { return g.gone() || s.connectedGeneration.load() == 1; }, SetupLimit);
    keepRunning(g, 1s);
    s.descriptorsAtStart = openDescriptors(s.gatewayPid, true);

    const auto start = Clock::now();
    const auto deadline
        = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    f.boxStreamed = std::int64_t(std::chrono::duration<double>(deadline - start).count() * BusRate);
    box.stream(f.boxStreamed, BusRate);
    s.framesOpen.store(true);
    s.serverOpen.store(true);
    std::thread waves([&] { runWaves(s, httpPort, files, http, waveDescriptors); });

    std::printf("\n%6s %8s %5s %6s %7s %5s %6s %12s %12s %12s %12s %10s\n", "minute", "RSS MiB", "fds",
                "waves", "HTTP ok", "cut", "failed", "serial->TCP", "TCP->serial", "UDP->15730", "UDP->TCP",
                "silent ms");
    std::printf("(RSS and fds of the window's process now; frame columns: received so far)\n");
    int nextMinute = 1;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        samples.push_back({seconds, residentMiB(s.gatewayPid), openDescriptors(s.gatewayPid)});
        g.ping();
        if (seconds >= nextMinute * 60.0)
            printMinuteRow(nextMinute++, samples.back(), s, f, http, g);
    });
    sampler.start(SampleEvery);

    int cycles = 0;
    Clock::duration longestSettle {};
    for (auto nextClick = start + Minute; !g.gone(); nextClick += Minute) {
        if (nextClick > deadline - LastClickMargin) {
            runUntil([&] { return g.gone() || Clock::now() >= deadline; }, Clock::duration::max() / 2);
            break;
        }
        runUntil([&] { return g.gone() || Clock::now() >= nextClick; }, Clock::duration::max() / 2);
        Clock::duration settled {};
        if (g.gone() || !clickCycle(g, s, f, settled))
            break;
        longestSettle = std::max(longestSettle, settled);
        ++cycles;
    }

    // The end: the last wave finishes, the senders stop, everything in flight arrives.
    s.stopWaves.store(true);
    runUntil([&] { return s.wavesDone.load(); }, WavesEndLimit);
    s.framesOpen.store(false);
    runUntil([&] { return g.gone() || f.boxFinished; }, StreamEndLimit);
    std::int64_t seen = -1;
    auto lastChange = Clock::now();
    runUntil(
        [&] {
            if (const std::int64_t now = framesSoFar(f); now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            return g.gone() || Clock::now() - lastChange > DrainQuiet;
        },
        DrainLimit);
    sampler.stop();
    const double endSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!g.gone())
        samples.push_back({endSeconds, residentMiB(s.gatewayPid), openDescriptors(s.gatewayPid)});
    const bool crashedDuringRun = g.exited();
    const bool frozen = g.frozen();
    bool quitCleanly = false;
    if (!g.gone()) {
        const std::optional<QByteArray> bye = g.ask("quit");
        runUntil([&] { return g.exited(); }, ExitLimit);
        quitCleanly = bye == "bye" && g.exited() && !g.crashed() && g.exitCode() == 0;
    }
    if (!g.exited())
        g.kill();
    s.stop.store(true);
    s.stopWaves.store(true);
    clientThread.join();
    datagramReceiver.join();
    datagramSender.join();
    waves.join();
    ::close(echoFd);

    // ---- the report ----
    // The box's stream reaches the client only while it is connected: each connection is
    // one stretch, and the last one must hold the stream's end once it is through.
    std::vector<Range> boxStretches = f.client.boxStretches;
    if (f.boxFinished && !boxStretches.empty() && !crashedDuringRun)
        boxStretches.back().end = std::uint32_t(f.boxStreamed);
    const auto boxSent = f.boxFinished ? f.boxStreamed : -1;
    std::int64_t datagramsSent = 0;
    for (const Range &r : f.datagramStretches)
        datagramsSent += r.end - r.first;
    std::int64_t clientSent = 0;
    for (const Range &r : f.client.sentStretches)
        clientSent += r.end - r.first;
    const bool framesClean = printStreams({
        {"serial -> TCP client", boxSent, f.client.fromBox.received.load(),
         lossIn(f.client.fromBox, boxStretches, false), &f.client.fromBox, f.client.strangers},
        {"TCP client -> serial", clientSent, f.toBox.received.load(),
         lossIn(f.toBox, f.client.sentStretches, false), &f.toBox, 0},
        {"UDP -> UDP 15730", datagramsSent, f.datagramEchoes.received.load(),
         lossIn(f.datagramEchoes, f.datagramStretches, false), &f.datagramEchoes, 0},
        {"UDP -> TCP client", datagramsSent, f.client.echoes.received.load(),
         lossIn(f.client.echoes, f.datagramStretches, false), &f.client.echoes, 0},
    });
    if (crashedDuringRun)
        std::printf("the gateway ended during the run: frames in flight then count as lost\n");
    std::printf(
        "serial -> TCP counts only frames the box streamed while the client was connected; \"at close\" "
        "is the part of \"lost\" after the last arrival before a Schließen\n");
    std::printf("TCP client connections: %lld; partial frames at a close: %lld; frames of no stream at the "
                "client: %lld\n",
                static_cast<long long>(f.client.connections), static_cast<long long>(f.client.partialAtClose),
                static_cast<long long>(f.client.strangers));

    std::printf("\n");
    std::vector<std::string> faults;
    if (crashedDuringRun) {
        const double after = std::chrono::duration<double>(g.exitTime() - start).count();
        if (g.crashed())
            std::printf("gateway: CRASHED by signal %d (%s) after %.1f s, during wave %d, after %d "
                        "Schließen/Öffnen\n",
                        g.exitCode(), strsignal(g.exitCode()), after, waveAtExit, cycles);
        else
            std::printf("gateway: ENDED with exit code %d after %.1f s\n", g.exitCode(), after);
        faults.push_back("the gateway ended during the run");
    } else if (frozen) {
        std::printf("gateway: FROZEN, no answer for over %lld s\n",
                    static_cast<long long>(std::chrono::seconds(FrozenLimit).count()));
        faults.push_back("the window froze");
    } else {
        std::printf("gateway: no crash; %d Schließen/Öffnen; ended %s on \"Ende\"\n", cycles,
                    quitCleanly ? "cleanly" : "BADLY");
        if (!quitCleanly)
            faults.push_back("the gateway did not end cleanly on \"Ende\"");
    }
    std::printf("longest time the window did not answer: %.0f ms\n", g.longestSilenceMs());
    std::printf("longest time frames still arrived after their senders stopped before a Schließen: %.1f s "
                "(limit %lld s)\n",
                std::chrono::duration<double>(longestSettle).count(),
                static_cast<long long>(std::chrono::seconds(SettleLimit).count()));

    const auto afterMinute
        = std::find_if(samples.begin(), samples.end(), [](const Sample &x) { return x.seconds >= 60; });
    if (afterMinute != samples.end() && afterMinute + 1 < samples.end()) {
        double highest = 0;
        for (auto it = afterMinute; it != samples.end(); ++it)
            highest = std::max(highest, it->rssMiB);
        const double growth = samples.back().rssMiB - afterMinute->rssMiB;
        std::printf(
            "RSS: %.1f MiB after the first minute, %.1f MiB at the end, highest %.1f MiB: growth %.2f MiB\n",
            afterMinute->rssMiB, samples.back().rssMiB, highest, growth);
        if (growth >= RssGrowthLimitMiB)
            faults.push_back("RSS grew after the first minute");
    } else {
        std::printf("RSS: not judged, the run was shorter than two minutes of samples\n");
    }

    int differing = 0;
    std::string firstDiffering;
    for (std::size_t wave = 0; wave < waveDescriptors.size(); ++wave) {
        if (waveDescriptors[wave] != s.descriptorsAtStart && differing++ == 0)
            firstDiffering = "first after wave " + std::to_string(wave + 1) + ": "
                + std::to_string(waveDescriptors[wave]);
    }
    std::printf("descriptors (sockets, files, pipes): %d at start; after %zu waves: %s\n",
                s.descriptorsAtStart, waveDescriptors.size(),
                differing == 0 ? "always back to the start value"
                               : (std::to_string(differing) + " times NOT back, " + firstDiffering).c_str());
    if (differing > 0)
        faults.push_back("descriptors did not return to their start value");

    std::printf("\n%-16s %8s %8s %8s  (%d at a time: ", "HTTP visits", "ok", "cut", "failed",
                std::accumulate(WaveMix.begin(), WaveMix.end(), 0));
    for (int kind = 0; kind < KindCount; ++kind)
        std::printf("%s%d %s", kind ? ", " : "", WaveMix[std::size_t(kind)], KindNames[std::size_t(kind)]);
    std::printf(")\n");
    for (int kind = 0; kind < KindCount; ++kind) {
        const auto k = std::size_t(kind);
        std::printf("%-16s %8d %8d %8d\n", KindNames[k], http.ok[k].load(), http.cut[k].load(),
                    http.failed[k].load());
    }
    std::printf("\"cut\": ended by Schließen or refused while closed\n");
    if (http.total(http.failed) > 0)
        faults.push_back("HTTP clients failed while the server was open");
    if (!framesClean)
        faults.push_back("frames lost, damaged, reordered or duplicated while open");

    std::printf("\n");
    load.print();
    std::printf("soak %s\n", faults.empty() ? "passed" : "FAILED:");
    for (const std::string &fault : faults)
        std::printf("  %s\n", fault.c_str());
    return faults.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "--gateway") == 0) {
        QApplication app(argc, argv);
        return runGateway(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                          quint16(std::atoi(argv[4])));
    }
    if (!displayAvailable("soak"))
        return 2;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Runs every path of the gateway at once and checks every frame."_s);
    parser.addHelpOption();
    const QCommandLineOption minutes(u"minutes"_s, u"How long to run (default 10)."_s, u"minutes"_s,
                                     QString::number(DefaultMinutes));
    parser.addOption(minutes);
    parser.process(app);
    bool ok = false;
    const double length = parser.value(minutes).toDouble(&ok);
    if (!ok || length <= 0) {
        std::fprintf(stderr, "soak: --minutes needs a positive number\n");
        return 2;
    }
    // A peer that resets makes a send fail; that must not end the soak.
    std::signal(SIGPIPE, SIG_IGN);
    return soak(length);
}
