// What the benchmarks share: the shown window, plain POSIX sockets for worker threads, clocks and table
// output.
#pragma once

#include "frmmain.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A port table made of the given device files; every other number has no device.
inline SerialPort::PortTable portTable(QMap<int, QString> devices)
{
    return [devices](int n) { return devices.value(n); };
}

inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

// The window's controls by name, as a user reaches them.
struct WindowDriver
{
    FrmMain &w;

    template<typename T> T *control(const char *name) const
    {
        return w.findChild<T *>(QString::fromLatin1(name));
    }
    QString label(const char *name) const { return control<QLabel>(name)->text(); }
    bool enabled(const char *name) const { return control<QWidget>(name)->isEnabled(); }
    void click(const char *name) const { control<QPushButton>(name)->click(); }
    // "Öffnen" with the HTTP server on a free port instead of 80.
    void open(quint16 httpPort = freeTcpPort()) const
    {
        control<QLineEdit>("Text2")->setText(QString::number(httpPort));
        click("Command1");
    }
};

namespace bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int FrameSize = 13;
constexpr quint16 FramePort = 15731;
constexpr quint16 EchoPort = 15730;
// The port number the window's port table maps to the pseudo-terminal.
constexpr int GatewayComPort = 3;
constexpr qint32 GatewayBaud = 115200;
constexpr auto PollSlice = 20ms;
constexpr auto LoopPoll = 5ms;
constexpr auto SetupLimit = 5s;
constexpr int SocketBufferSize = 1 << 20;
constexpr double NsPerSecond = 1e9;

inline std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

inline std::uint64_t readBigEndian(const std::uint8_t *bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

inline void writeBigEndian(std::uint8_t *bytes, std::uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i, value >>= 8)
        bytes[i] = std::uint8_t(value);
}

// ---- the display ----

// Qt aborts without a display; say how to get one instead.
inline bool displayAvailable(const char *program)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    std::fprintf(stderr,
                 "%s: no display. Run `make bench` (SOAK_MINUTES=n adds the soak), or: xvfb-run -a -s "
                 "\"-screen 0 1024x768x24\" %s\n",
                 program, program);
    return false;
}

// A window that is never painted measures a program nobody runs: say so in the table.
inline std::string platformNote()
{
    const QString platform = QGuiApplication::platformName();
    std::string note = "window shown on " + platform.toStdString();
    if (const char *display = std::getenv("DISPLAY"); display && platform == QLatin1String("xcb"))
        note += std::string(" (display ") + display + ")";
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        note += " -- NOT PAINTED, figures are not what users see";
    return note;
}

inline bool showWindow(FrmMain &w)
{
    w.show();
    if (!QTest::qWaitForWindowExposed(&w)) {
        std::fprintf(stderr, "the window was not exposed on the display\n");
        return false;
    }
    return true;
}

// The settings file the first "Öffnen" reads: the pseudo-terminal's port number and a speed.
inline void writeSettings(const QString &folder)
{
    QFile ini(folder + QLatin1String("/RIri.ini"));
    if (ini.open(QIODevice::WriteOnly))
        ini.write("riri\r\nPortNr=" + QByteArray::number(GatewayComPort)
                  + "\r\nBaudRate=" + QByteArray::number(GatewayBaud) + "\r\n");
}

inline bool clickIfEnabled(const WindowDriver &d, const char *name)
{
    if (!d.enabled(name)) {
        std::fprintf(stderr, "button %s is not enabled\n", name);
        return false;
    }
    d.click(name);
    return true;
}

// ---- the event loop of the window's thread ----

// Runs the window's event loop until done() holds or the limit passes.
inline bool runUntil(const std::function<bool()> &done, Clock::duration limit)
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

// ---- plain POSIX I/O for the worker threads ----

inline bool waitFor(int fd, short events, std::chrono::milliseconds limit = PollSlice)
{
    pollfd p {fd, events, 0};
    return ::poll(&p, 1, int(limit.count())) > 0;
}

inline void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Blocking connect; the socket is left non-blocking unless told otherwise.
inline int connectTcp(quint16 port, bool nonBlocking = true)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    if (nonBlocking)
        setNonBlocking(fd);
    return fd;
}

// A receive buffer beyond the system's limit is taken where the process may (as root).
inline int bindUdp(quint16 port, int receiveBuffer = SocketBufferSize)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A sender of datagrams whose own buffer does not hold back a burst.
inline int udpSender()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int size = SocketBufferSize;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

// One datagram; waits while the sender's own buffer is full, gives up only on a real error.
inline bool sendDatagram(int fd, const sockaddr_in &to, const std::uint8_t *bytes, std::size_t size)
{
    for (;;) {
        if (::sendto(fd, bytes, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0)
            return true;
        if (errno != EAGAIN && errno != EINTR && errno != ENOBUFS)
            return false;
        waitFor(fd, POLLOUT);
    }
}

// Writes everything, waiting while the pipe is full; false on an error or when told to stop.
inline bool writeAll(int fd, const std::uint8_t *bytes, std::size_t size, const std::atomic<bool> &stop)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (stop.load())
                return false;
            waitFor(fd, POLLOUT);
        }
    }
    return true;
}

// Blocking socket: reads until the peer closes (true) or an error or time-out (false).
inline bool readToEnd(int fd, QByteArray &into)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            into.append(buffer, n);
    }
}

// ---- files and answers ----

// Bytes that differ from file to file and from place to place, so that a misplaced piece shows.
inline QByteArray patternBytes(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) ^ (i >> 11));
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The server ends its header lines with a single line feed.
inline QByteArray bodyOf(const QByteArray &response)
{
    const qsizetype end = response.indexOf("\n\n");
    return end < 0 ? QByteArray() : response.mid(end + 2);
}

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
    std::size_t tailSize() const { return m_tail.size(); }
    void clear() { m_tail.clear(); }

private:
    std::vector<std::uint8_t> m_tail;
};

// ---- figures ----

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The 1-minute load average: the machine is shared, so every table carries it.
inline double loadAverage()
{
    double load = -1;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = -1;
        std::fclose(f);
    }
    return load;
}

struct LoadWatch
{
    double atStart = loadAverage();
    void print() const
    {
        std::printf("load average (1 min): %.2f at start, %.2f at end (2 cores)\n", atStart, loadAverage());
    }
};

// 1234567 -> "1,234,567"
inline std::string grouped(double value)
{
    std::string digits = std::to_string(std::llround(value));
    const std::ptrdiff_t first = digits[0] == '-' ? 1 : 0;
    for (auto at = std::ptrdiff_t(digits.size()) - 3; at > first; at -= 3)
        digits.insert(std::size_t(at), 1, ',');
    return digits;
}

} // namespace bench
