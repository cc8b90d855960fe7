// Measures a 16 MiB download from the shown window beside the pacing limit, both in the same run.
//
// The limit is what the server's pacing allows at best: 2048 bytes per period of a
// one-shot 1 ms timer that is re-armed when it fires, measured on the window's thread
// right before each download. The client is a thread with a plain blocking socket, so
// that it costs the window's thread nothing; every byte of the body is checked.
#include "benchsupport.h"

#include <QElapsedTimer>

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
    if (!folder.isValid() || !writeFile(folder.filePath(QStringLiteral("big.bin")), big)) {
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
    std::printf("\n");
    load.print();
    // Before anything at exit (a leak report of a sanitizer build) can end the process unflushed.
    std::fflush(stdout);
    return allWhole ? 0 : 1;
}
