// Measures the shown window's file server beside references of the same run: a 16 MiB download
// beside the pacing limit, and many small files for many clients beside python3 -m http.server.
//
// The limit is what the server's pacing allows at best: 2048 bytes per period of a
// one-shot 1 ms timer that is re-armed when it fires, measured on the window's thread
// right before each download. The client is a thread with a plain blocking socket, so
// that it costs the window's thread nothing; every byte of the body is checked.
//
// The small files: wrk with 50 connections for 10 s asks for a 1 KiB file, once from the
// window and once from python3's http.server serving the same folder, in turn; any error or
// answer other than 200 is reported.
#include "benchsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <thread>

using namespace bench;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 BigFile = 16 * MiB;
constexpr qint64 PieceSize = 2048;
constexpr int Runs = 3;
constexpr int ChainTicks = 4096;
constexpr auto DownloadLimit = 120s;
constexpr double MsPerSecond = 1e3;
constexpr double BytesPerMB = 1e6;
constexpr qint64 SmallFile = 1024;
constexpr int WrkConnections = 50;
constexpr int WrkThreads = 2;
constexpr int WrkSeconds = 10;
constexpr auto WrkLimit = 60s;
constexpr auto ReferenceStartLimit = 10s;
constexpr double MsPerUs = 1e-3;

// The period of a 1 ms precise one-shot timer re-armed from its own tick.
double timerChainPeriodMs()
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.setInterval(1);
    int ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        if (++ticks < ChainTicks)
            timer.start();
    });
    QElapsedTimer clock;
    clock.start();
    timer.start();
    runUntil([&] { return ticks >= ChainTicks; }, DownloadLimit);
    return double(clock.nsecsElapsed()) / 1e6 / ChainTicks;
}

struct Download
{
    double seconds = 0;
    bool whole = false;
    QByteArray header;
};

// One GET of the big file by a client thread, while the window's thread runs its event loop.
Download download(quint16 port, const QByteArray &expected)
{
    Download result;
    QByteArray response;
    std::atomic<bool> done {false};
    std::thread client([&] {
        QElapsedTimer clock;
        clock.start();
        const int fd = connectTcp(port, false);
        const QByteArray request = "GET /big.bin HTTP/1.0\r\n\r\n";
        if (fd >= 0 && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()
            && readToEnd(fd, response))
            result.seconds = double(clock.nsecsElapsed()) / NsPerSecond;
        if (fd >= 0)
            ::close(fd);
        done.store(true);
    });
    runUntil([&] { return done.load(); }, DownloadLimit);
    client.join();
    result.whole = bodyOf(response) == expected;
    result.header = response.left(response.indexOf('\n'));
    return result;
}

struct WrkResult
{
    double requestsPerSecond = 0;
    double p99Ms = 0;
    bool clean = false;
    QByteArray problem;
};

double milliseconds(const QString &value, const QString &unit)
{
    const double number = value.toDouble();
    return unit == u"us" ? number * MsPerUs : unit == u"s" ? number * MsPerSecond : number;
}

// wrk against a URL while the window's thread runs its event loop.
WrkResult runWrk(quint16 port)
{
    QProcess wrk;
    wrk.setProcessChannelMode(QProcess::MergedChannels);
    wrk.start(QStringLiteral("wrk"), {QStringLiteral("-t%1").arg(WrkThreads), QStringLiteral("-c%1").arg(WrkConnections),
                                      QStringLiteral("-d%1s").arg(WrkSeconds), QStringLiteral("--latency"),
                                      QStringLiteral("http://127.0.0.1:%1/small.bin").arg(port)});
    WrkResult result;
    if (!wrk.waitForStarted()) {
        result.problem = "wrk did not start (apt-get install wrk)";
        return result;
    }
    runUntil([&] { return wrk.state() == QProcess::NotRunning; }, WrkLimit);
    const QString out = QString::fromLocal8Bit(wrk.readAll());
    static const QRegularExpression rate(QStringLiteral("Requests/sec:\\s+([0-9.]+)"));
    static const QRegularExpression p99(QStringLiteral("\\s99%\\s+([0-9.]+)(us|ms|s)"));
    const QRegularExpressionMatch r = rate.match(out);
    const QRegularExpressionMatch p = p99.match(out);
    result.requestsPerSecond = r.hasMatch() ? r.captured(1).toDouble() : 0;
    result.p99Ms = p.hasMatch() ? milliseconds(p.captured(1), p.captured(2)) : 0;
    result.clean = r.hasMatch() && !out.contains(QStringLiteral("Socket errors"))
        && !out.contains(QStringLiteral("Non-2xx"));
    if (!result.clean)
        result.problem = out.toLocal8Bit();
    return result;
}

// python3's file server on the same folder, as the reference of the same run.
class ReferenceServer
{
public:
    ReferenceServer(const QString &folder, quint16 port)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setWorkingDirectory(folder);
        m_process.start(QStringLiteral("python3"), {QStringLiteral("-m"), QStringLiteral("http.server"),
                                                   QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                                   QString::number(port)});
        m_ready = m_process.waitForStarted()
            && runUntil([port] {
                   const int fd = connectTcp(port, false);
                   if (fd >= 0)
                       ::close(fd);
                   return fd >= 0;
               }, ReferenceStartLimit);
    }
    ~ReferenceServer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_ready; }

private:
    QProcess m_process;
    bool m_ready = false;
};

struct Run
{
    double tickMs = 0;
    double limit = 0; // bytes per second
    double rate = 0; // bytes per second
    bool whole = false;
    double ratio() const { return limit > 0 ? rate / limit : 0; }
};

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable("http_bench"))
        return 2;
    QApplication app(argc, argv);
    const LoadWatch load;

    QTemporaryDir folder;
    const QByteArray big = patternBytes(BigFile, 1);
    if (!folder.isValid() || !writeFile(folder.filePath(QStringLiteral("big.bin")), big)
        || !writeFile(folder.filePath(QStringLiteral("small.bin")), patternBytes(SmallFile, 2))) {
        std::fprintf(stderr, "cannot write the file to serve\n");
        return 2;
    }
    FrmMain w(portTable({}), folder.path());
    if (!showWindow(w))
        return 2;
    const quint16 port = freeTcpPort();
    WindowDriver {w}.open(port);
    std::printf("http_bench: %s; %s\n", platformNote().c_str(),
                qPrintable(WindowDriver {w}.label("LFileProgress")));
    std::fflush(stdout);

    std::vector<Run> runs;
    for (int i = 0; i < Runs; ++i) {
        Run run;
        run.tickMs = timerChainPeriodMs();
        run.limit = double(PieceSize) / (run.tickMs / MsPerSecond);
        const Download d = download(port, big);
        if (d.seconds <= 0) {
            std::fprintf(stderr, "the download failed: %s\n", d.header.constData());
            return 1;
        }
        run.rate = double(BigFile) / d.seconds;
        run.whole = d.whole;
        runs.push_back(run);
    }

    std::printf("\n16 MiB download, one client, from the shown window\n");
    std::printf(
        "limit: %lld B per period of a one-shot 1 ms timer re-armed when it fires, measured before each "
        "download\n",
        static_cast<long long>(PieceSize));
    std::printf("%-8s %12s %10s %12s %7s  %s\n", "run", "MB/s", "tick ms", "limit MB/s", "ratio", "body");
    std::vector<double> rates, limits, ratios, ticks;
    bool allWhole = true;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Run &r = runs[i];
        std::printf("%-8zu %12.3f %10.3f %12.3f %7.2f  %s\n", i + 1, r.rate / BytesPerMB, r.tickMs,
                    r.limit / BytesPerMB, r.ratio(), r.whole ? "byte-identical" : "WRONG");
        rates.push_back(r.rate);
        limits.push_back(r.limit);
        ratios.push_back(r.ratio());
        ticks.push_back(r.tickMs);
        allWhole = allWhole && r.whole;
    }
    std::printf("%-8s %12.3f %10.3f %12.3f %7.2f\n", "median", median(rates) / BytesPerMB, median(ticks),
                median(limits) / BytesPerMB, median(ratios));
    std::printf("\n1 KiB file, %d connections, wrk for %d s, from the shown window and from python3 -m "
                "http.server, in turn\n",
                WrkConnections, WrkSeconds);
    std::printf("%-8s %12s %12s %8s %12s %12s\n", "run", "window req/s", "python req/s", "ratio", "window p99",
                "python p99");
    const quint16 referencePort = freeTcpPort();
    std::vector<double> windowRates, referenceRates, rateRatios, windowTails, referenceTails;
    bool wrkClean = true;
    for (int i = 0; i < Runs; ++i) {
        const WrkResult window = runWrk(port);
        WrkResult reference;
        {
            const ReferenceServer python(folder.path(), referencePort);
            if (!python.ready()) {
                std::fprintf(stderr, "python3 -m http.server did not start\n");
                return 2;
            }
            reference = runWrk(referencePort);
        }
        if (!window.clean)
            std::fprintf(stderr, "wrk against the window: %s\n", window.problem.constData());
        if (!reference.clean)
            std::printf("(python3 run %d: %s)\n", i + 1, reference.problem.contains("Socket errors")
                            ? reference.problem.mid(reference.problem.indexOf("Socket errors")).split('\n').first().constData()
                            : "no figures");
        wrkClean = wrkClean && window.clean;
        const double ratio = reference.requestsPerSecond > 0 ? window.requestsPerSecond / reference.requestsPerSecond : 0;
        std::printf("%-8d %12.0f %12.0f %8.2f %9.2f ms %9.2f ms\n", i + 1, window.requestsPerSecond,
                    reference.requestsPerSecond, ratio, window.p99Ms, reference.p99Ms);
        windowRates.push_back(window.requestsPerSecond);
        referenceRates.push_back(reference.requestsPerSecond);
        rateRatios.push_back(ratio);
        windowTails.push_back(window.p99Ms);
        referenceTails.push_back(reference.p99Ms);
    }
    std::printf("%-8s %12.0f %12.0f %8.2f %9.2f ms %9.2f ms\n", "median", median(windowRates),
                median(referenceRates), median(rateRatios), median(windowTails), median(referenceTails));
    std::printf("\n");
    load.print();
    // Before anything at exit (a leak report of a sanitizer build) can end the process unflushed.
    std::fflush(stdout);
    return allWhole && wrkClean ? 0 : 1;
}
