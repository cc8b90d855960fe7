// http_bench: download rates, concurrency and memory of the HTTP server beside the pacing
// limit and beside python3's http.server, measured in the same run. Asserts no time; checks bytes.
//
// The server runs as a child process of this program ("--serve <folder>"), so its peak memory
// (VmHWM) is its own; the clients run in this process on one event loop.
#include "httpserver.h"
#include "openfilelimit.h"
#include "serverwindow.h"
#include "socketarray.h"
#include "timerarray.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 BigFile = 16 * MiB;
constexpr qint64 MediumFile = 1 * MiB;
constexpr int ConcurrentDownloads = 200;
constexpr int SmallFiles = 100;
constexpr qint64 SmallFile = 1024;
constexpr int SmallClients = 50;
constexpr int SmallRequestsPerClient = 40;
constexpr int TickSamples = 2000;
constexpr int TimeoutMs = 120'000;
constexpr int PythonBacklog = 128;
// A server whose listen queue overflows stalls clients for seconds; the rate is then taken over this long.
constexpr int SmallFileSecondsLimit = 10;

// ---- The server side ----

class QuietWindow : public ServerWindow
{
public:
    void showNetworkStatus(const QString &text) override { last = text; }
    void setServerButtons(bool) override { }
    QString last;
};

int serve(const QString &root)
{
    OpenFileLimit::raiseToHardLimit();
    SocketArray winsock1;
    TimerArray tSendData;
    QuietWindow window;
    HttpServer server(winsock1, tSendData, window);
    server.setServerName(u"Lorvane HTTP Server Version 1.00"_s);
    server.setWebRoot(root);
    Socket *listener = winsock1.at(0);
    listener->setLocalPort(0);
    if (!listener->listen()) {
        std::fprintf(stderr, "listen: %s\n", qPrintable(listener->errorString()));
        return 1;
    }
    std::printf("%u\n", unsigned(listener->localPort()));
    std::fflush(stdout);
    // Ends when the parent closes our standard input.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, qApp, [] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

// ---- The client side ----

void pumpUntil(const std::function<bool()> &done)
{
    QTimer wake;
    wake.start(5);
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

QByteArray bodyOf(const QByteArray &response)
{
    const qsizetype lf = response.indexOf("\n\n");
    const qsizetype crlf = response.indexOf("\r\n\r\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return response.mid(crlf + 4);
    return lf < 0 ? QByteArray() : response.mid(lf + 2);
}

// One GET per connection; the response is kept until the server closes.
class Fetch
{
public:
    Fetch(quint16 port, const QByteArray &path, std::function<void(Fetch &)> finished = {})
        : m_finished(std::move(finished))
    {
        QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket, [this, path] {
            m_socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket,
                         [this] { response += m_socket.readAll(); });
        QObject::connect(&m_socket, &QTcpSocket::stateChanged, &m_socket,
                         [this](QAbstractSocket::SocketState s) {
                             if (s != QAbstractSocket::UnconnectedState || done)
                                 return;
                             if (m_socket.isOpen())
                                 response += m_socket.readAll();
                             done = true;
                             // Called from a later event pass, so the owner may delete this fetch.
                             if (m_finished)
                                 QTimer::singleShot(0, &m_context, [this] { m_finished(*this); });
                         });
        m_socket.connectToHost(u"127.0.0.1"_s, port);
    }

    QByteArray response;
    bool done = false;

private:
    std::function<void(Fetch &)> m_finished;
    QObject m_context;
    QTcpSocket m_socket;
};

QByteArray pattern(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) ^ (i >> 11));
    return bytes;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

// The period of a 1 ms precise one-shot timer re-armed from its own tick, as the server arms it.
double measuredTickMs()
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.setInterval(1);
    int ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        if (++ticks < TickSamples)
            timer.start();
    });
    QElapsedTimer clock;
    clock.start();
    timer.start();
    pumpUntil([&] { return ticks >= TickSamples; });
    return double(clock.nsecsElapsed()) / 1e6 / TickSamples;
}

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(u"/proc/"_s + QString::number(pid) + u"/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Server
{
    QProcess process;
    quint16 port = 0;
};

bool startOwnServer(Server &server, const QString &root)
{
    server.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.process.start(QCoreApplication::applicationFilePath(), {u"--serve"_s, root});
    if (!server.process.waitForReadyRead(10'000))
        return false;
    server.port = quint16(server.process.readLine().trimmed().toUInt());
    return server.port != 0;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitForPort(quint16 port)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10'000) {
        QTcpSocket probe;
        probe.connectToHost(u"127.0.0.1"_s, port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// `python3 -m http.server`, or with `backlog` the same server class with a longer listen queue
// (its default of 5 makes 50 clients that connect at once wait for SYN retries).
bool startPythonServer(Server &server, const QString &root, int backlog = 0)
{
    server.port = freePort();
    server.process.setStandardOutputFile(QProcess::nullDevice());
    server.process.setStandardErrorFile(QProcess::nullDevice());
    const QString port = QString::number(server.port);
    if (backlog == 0) {
        server.process.start(
            u"python3"_s,
            {u"-m"_s, u"http.server"_s, port, u"--bind"_s, u"127.0.0.1"_s, u"--directory"_s, root});
    } else {
        const QString script
            = u"import functools, http.server as h, sys\n"
              u"h.ThreadingHTTPServer.request_queue_size = int(sys.argv[3])\n"
              u"handler = functools.partial(h.SimpleHTTPRequestHandler, directory=sys.argv[2])\n"
              u"h.test(HandlerClass=handler, ServerClass=h.ThreadingHTTPServer,"
              u" port=int(sys.argv[1]), bind='127.0.0.1')\n"_s;
        server.process.start(u"python3"_s, {u"-c"_s, script, port, root, QString::number(backlog)});
    }
    return server.process.waitForStarted() && waitForPort(server.port);
}

void stop(Server &server)
{
    server.process.closeWriteChannel();
    if (!server.process.waitForFinished(5000)) {
        server.process.terminate();
        server.process.waitForFinished(5000);
    }
}

// Each client makes its requests one after the other; requests per second over all of them.
double smallFileRate(quint16 port, const std::vector<QByteArray> &contents, int *wrong)
{
    int finished = 0;
    int started = 0;
    const int total = SmallClients * SmallRequestsPerClient;
    std::vector<std::unique_ptr<Fetch>> live(SmallClients);
    std::function<void(int)> next = [&](int client) {
        const int file = started++ % SmallFiles;
        live[size_t(client)] = std::make_unique<Fetch>(
            port, "/small/f" + QByteArray::number(file), [&, client, file](Fetch &fetch) {
                if (bodyOf(fetch.response) != contents[size_t(file)])
                    ++*wrong;
                ++finished;
                if (started < total)
                    next(client);
            });
    };
    QElapsedTimer clock;
    clock.start();
    for (int client = 0; client < SmallClients; ++client)
        next(client);
    pumpUntil([&] { return finished >= total || clock.elapsed() >= SmallFileSecondsLimit * 1000; });
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const int counted = finished;
    // Requests still open are abandoned; they are neither counted nor wrong.
    started = total;
    live.clear();
    return counted / seconds;
}

void row(const char *what, const QString &figure, const QString &reference, const QString &ratio)
{
    std::printf("%-44s %-22s %-44s %s\n", what, qPrintable(figure), qPrintable(reference), qPrintable(ratio));
}

int bench()
{
    OpenFileLimit::raiseToHardLimit();
    QTemporaryDir folder;
    const QString root = folder.path();
    const QByteArray big = pattern(BigFile, 1);
    const QByteArray medium = pattern(MediumFile, 2);
    writeFile(root + u"/big.bin"_s, big);
    writeFile(root + u"/medium.bin"_s, medium);
    QDir(root).mkdir(u"small"_s);
    std::vector<QByteArray> small;
    for (int i = 0; i < SmallFiles; ++i) {
        small.push_back(pattern(SmallFile, i));
        writeFile(root + u"/small/f"_s + QString::number(i), small.back());
    }

    Server own;
    if (!startOwnServer(own, root)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const qint64 pid = own.process.processId();
    const qint64 idleKiB = peakMemoryKiB(pid);
    int failures = 0;

    const double tickMs = measuredTickMs();
    const double limit = 2048.0 / (tickMs / 1000.0);
    QElapsedTimer clock;
    clock.start();
    Fetch single(own.port, "/big.bin");
    pumpUntil([&] { return single.done; });
    const double singleRate = double(BigFile) / (double(clock.nsecsElapsed()) / 1e9);
    failures += bodyOf(single.response) == big ? 0 : 1;
    const qint64 afterBigKiB = peakMemoryKiB(pid);

    clock.restart();
    std::vector<std::unique_ptr<Fetch>> many;
    for (int i = 0; i < ConcurrentDownloads; ++i)
        many.push_back(std::make_unique<Fetch>(own.port, "/medium.bin"));
    pumpUntil([&] { return std::all_of(many.begin(), many.end(), [](const auto &f) { return f->done; }); });
    const double manySeconds = double(clock.nsecsElapsed()) / 1e9;
    int manyWrong = 0;
    for (const auto &fetch : many)
        manyWrong += bodyOf(fetch->response) == medium ? 0 : 1;
    many.clear();
    failures += manyWrong;
    const qint64 afterManyKiB = peakMemoryKiB(pid);

    int ownWrong = 0;
    const double ownRate = smallFileRate(own.port, small, &ownWrong);
    stop(own);

    Server python;
    int pythonWrong = 0;
    double pythonRate = 0;
    if (startPythonServer(python, root)) {
        pythonRate = smallFileRate(python.port, small, &pythonWrong);
        stop(python);
    } else {
        std::fprintf(stderr, "python3 -m http.server did not start\n");
        ++failures;
    }
    Server pythonQueued;
    double pythonQueuedRate = 0;
    if (startPythonServer(pythonQueued, root, PythonBacklog)) {
        pythonQueuedRate = smallFileRate(pythonQueued.port, small, &pythonWrong);
        stop(pythonQueued);
    } else {
        std::fprintf(stderr, "python3 http.server with a longer queue did not start\n");
        ++failures;
    }
    failures += ownWrong + pythonWrong;

    const auto mbps
        = [](double bytesPerSecond) { return QString::number(bytesPerSecond / 1e6, 'f', 2) + u" MB/s"_s; };
    const auto mib = [](qint64 kib) { return QString::number(double(kib) / 1024.0, 'f', 1) + u" MiB"_s; };
    row("what", u"figure"_s, u"reference (same run)"_s, u"ratio"_s);
    row("16 MiB download, one client", mbps(singleRate),
        u"pacing limit "_s + mbps(limit) + u" (tick "_s + QString::number(tickMs, 'f', 3) + u" ms)"_s,
        QString::number(singleRate / limit, 'f', 2));
    row("200 concurrent 1 MiB downloads", QString::number(manySeconds, 'f', 2) + u" s total"_s,
        u"each at the pacing limit: "_s + QString::number(double(MediumFile) / limit, 'f', 2) + u" s"_s,
        QString::number(double(MediumFile) / limit / manySeconds, 'f', 2));
    row("  all 200 byte-identical", manyWrong == 0 ? u"yes"_s : QString::number(manyWrong) + u" wrong"_s,
        QString(), QString());
    row("server peak memory (VmHWM), idle", mib(idleKiB), QString(), QString());
    row("  after the 16 MiB download", mib(afterBigKiB),
        u"idle + file would be "_s + mib(idleKiB + BigFile / 1024), QString());
    row("  after 200 concurrent downloads", mib(afterManyKiB),
        u"+"_s + QString::number(double(afterManyKiB - idleKiB) / ConcurrentDownloads, 'f', 1)
            + u" KiB per connection"_s,
        QString());
    const auto rate = [](double perSecond) { return QString::number(perSecond, 'f', 0) + u" req/s"_s; };
    row("1 KiB files, 50 concurrent clients", rate(ownRate), u"python3 -m http.server "_s + rate(pythonRate),
        QString::number(pythonRate > 0 ? ownRate / pythonRate : 0, 'f', 2));
    row("", QString(), u"same, listen queue 128: "_s + rate(pythonQueuedRate),
        QString::number(pythonQueuedRate > 0 ? ownRate / pythonQueuedRate : 0, 'f', 2));
    row("  wrong or missing small answers", QString::number(ownWrong),
        u"python: "_s + QString::number(pythonWrong), QString());
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments[1] == u"--serve"_s)
        return serve(arguments[2]);
    return bench();
}
