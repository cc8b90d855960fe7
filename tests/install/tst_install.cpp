// The installed program: its folder, its launcher and menu entry, its command line, and an
// unattended start (--open --connect) against the simulated track box.
#include "fixedtexts.h"
#include "framebytes.h"
#include "programrun.h"
#include "trackbox.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr quint16 kFramePort = 15731;
constexpr quint16 kEchoPort = 15730;
constexpr quint16 kHttpPort = 80;
constexpr int kUsageError = 2;
constexpr int kStartMs = 15'000;
// The ping waits ten seconds for an answer before the window says "keine Verbindung".
constexpr int kPingTimeOutMs = 10'000;
constexpr int kSlackMs = 5'000;
constexpr int kSettleMs = 300;
// The program ends within this after a signal; HTTP answers come within kAnswerSeconds.
constexpr int kEndMs = 1000;
constexpr int kAnswerSeconds = 3;
// Each of these requests logs a progress line per 2048-byte piece: together far more than a pipe holds.
constexpr qint64 kPieceFileBytes = 64 * 1024;
constexpr int kPieceRequests = 40;
constexpr uid_t kNobody = 65534;
const QStringList kAsNobody {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
// The installed program finds its serial ports only under /dev, where only root can link the
// simulated track box. A skip must be said in the test itself: from a helper it would not end it.
const bool kDevicesCanBeLinked = ::geteuid() == 0;
constexpr const char *kNeedsRoot = "Needs root to link the simulated track box under /dev; CI runs as root.";

const QByteArray kToTrackBox = frameBytes({0x00, 0x08, 0x47, 0x11, 8, 1, 2, 3, 4, 5, 6, 7, 8});
const QByteArray kFromTrackBox = TrackBox::streamFrame(7);

// Device files of the program's port table that a machine rarely has.
struct TablePort
{
    int number;
    const char *device;
};
constexpr TablePort kRarePorts[]
    = {{10, "/dev/ttyUSB5"}, {16, "/dev/ttyACM5"}, {9, "/dev/ttyUSB4"}, {15, "/dev/ttyACM4"}};

// The simulated track box's pseudo-terminal under a device name of the table, for as long as it lives.
class DeviceLink
{
public:
    explicit DeviceLink(const QString &target)
        : m_target(target)
    {
        for (const TablePort &port : kRarePorts) {
            const QString path = QString::fromLatin1(port.device);
            const QFileInfo existing(path);
            // A link whose pseudo-terminal is gone was left by a run that did not end normally.
            if (existing.isSymLink() && !existing.exists())
                QFile::remove(path);
            if (QFileInfo(path).isSymLink() || QFileInfo::exists(path) || !QFile::link(target, path))
                continue;
            m_path = path;
            m_portNumber = port.number;
            return;
        }
    }
    // The adapter plugged in again: the same name leads to a new device.
    void retarget(const QString &target)
    {
        QFile::remove(m_path);
        QFile::link(target, m_path);
        m_target = target;
    }
    ~DeviceLink()
    {
        if (!m_path.isEmpty() && QFileInfo(m_path).symLinkTarget() == m_target)
            QFile::remove(m_path);
    }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    bool isLinked() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    int portNumber() const { return m_portNumber; }

private:
    QString m_target;
    QString m_path;
    int m_portNumber = 0;
};

// One line of the status log: time stamp, category, the status line's name and its text.
QRegularExpression statusLine(const QString &lineName, const QString &text)
{
    return QRegularExpression(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} quenvar\\.status: "_s
                                  + QRegularExpression::escape(lineName + u": "_s + text) + u"$"_s,
                              QRegularExpression::MultilineOption);
}

QRegularExpression anyStatusLine(const QString &pattern)
{
    return QRegularExpression(u"quenvar\\.status: "_s + pattern, QRegularExpression::MultilineOption);
}

// What GET `path` answers, by curl; nothing when no whole answer comes within kAnswerSeconds.
std::optional<QString> httpGet(quint16 port, const QString &path)
{
    const QString url = u"http://127.0.0.1:%1"_s.arg(port) + path;
    const Finished curl = runToEnd(u"curl"_s, {u"-sm"_s, QString::number(kAnswerSeconds), url});
    return curl.exitCode == 0 ? std::optional(curl.out) : std::nullopt;
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void installsIntoAFolderOfItsOwn();
    void menuEntryAndStartExamplesNameTheLauncher();
    void commandLineAnswersWithoutAWindow_data();
    void commandLineAnswersWithoutAWindow();
    void openWithoutSettingsOpensTheEndpointsAndSaysWhyItCannotConnect();
    void connectsToTheTrackBoxUnattended();
    void silentTrackBoxIsReportedOnceAndNotRetried();
    void logNeverStopsItAndSignalsEndIt_data();
    void logNeverStopsItAndSignalsEndIt();
    void aNormalUserInstallsAndSavesInAFolderOfTheirOwn();
    void missingPackagesArePrintedAsOnePastableLine();

private:
    QString launcher() const { return m_prefix + u"/bin/quenvar"_s; }
    QString programFolder() const { return m_prefix + u"/program"_s; }
    // Where the launcher keeps RIri.ini and the served files for this home.
    QString userFolder() const { return m_home.filePath(u".local/share/quenvar"_s); }
    QProcessEnvironment programEnvironment() const;
    void writeSettings(int portNumber) const;
    void verifyFramePortsOpened(RunningProgram &quenvar) const;

    QTemporaryDir m_home;
    QString m_prefix;
};

void TestInstall::initTestCase()
{
    QVERIFY(m_home.isValid());
    m_prefix = m_home.filePath(u".local/opt/quenvar"_s);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, m_home.path());
    environment.remove(u"DESTDIR"_s);
    const Finished install
        = runToEnd(QStringLiteral(QUENVAR_CMAKE),
                   {u"--install"_s, QStringLiteral(QUENVAR_BUILD_DIR), u"--prefix"_s, m_prefix}, environment);
    QVERIFY2(install.normalExit && install.exitCode == 0, qPrintable(install.out + install.err));
}

// Each case starts without the user's folder; the installed one holds the program alone.
void TestInstall::cleanup()
{
    QDir(userFolder()).removeRecursively();
    QCOMPARE(filesBelow(programFolder()), QStringList {u"quenvar"_s});
}

QProcessEnvironment TestInstall::programEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, m_home.path());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.remove(u"DISPLAY"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    environment.remove(u"QT_MESSAGE_PATTERN"_s);
    environment.remove(u"QT_LOGGING_RULES"_s);
    environment.remove(u"XDG_DATA_HOME"_s);
    return environment;
}

void TestInstall::writeSettings(int portNumber) const
{
    QDir().mkpath(userFolder());
    QFile ini(userFolder() + u"/RIri.ini"_s);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(settingsText(portNumber, 115200));
}

// The frame ports are fixed: when another gateway, benchmark or test holds them, say so.
void TestInstall::verifyFramePortsOpened(RunningProgram &quenvar) const
{
    const QRegularExpression busy
        = anyStatusLine(u"LFileProgress: .*Port 1573[01] kann nicht geöffnet werden"_s);
    QVERIFY2(quenvar.waitForLine(
                 anyStatusLine(u"LFileProgress: (UDP-Betrieb über Port 15730$|.*kann nicht)"_s), kStartMs),
             qPrintable(quenvar.log()));
    // A failure is shown right after the texts of "Öffnen", in the same handler.
    QTest::qWait(kSettleMs);
    QVERIFY2(!quenvar.hasLine(busy),
             qPrintable(u"The frame ports are busy; rerun when they are free:\n"_s + quenvar.log()));
}

void TestInstall::installsIntoAFolderOfItsOwn()
{
    // The program's folder is served: nothing but the program may come with the install.
    QCOMPARE(filesBelow(programFolder()), QStringList {u"quenvar"_s});
    QCOMPARE(
        filesBelow(m_prefix),
        (QStringList {u"bin/quenvar"_s, u"program/quenvar"_s, u"share/applications/quenvar.desktop"_s,
                      u"share/icons/hicolor/scalable/apps/quenvar.svg"_s, u"share/man/man1/quenvar.1"_s,
                      u"share/quenvar/quenvar-autostart.desktop"_s, u"share/quenvar/quenvar.service"_s}));
    QVERIFY(QFileInfo(launcher()).isExecutable());
    QVERIFY(QFileInfo(programFolder() + u"/quenvar"_s).isExecutable());
    QVERIFY(contentOf(m_prefix + u"/share/icons/hicolor/scalable/apps/quenvar.svg"_s).contains("<svg"));
}

void TestInstall::menuEntryAndStartExamplesNameTheLauncher()
{
    const QByteArray quotedLauncher = '"' + launcher().toUtf8() + '"';
    const QByteArray entry = contentOf(m_prefix + u"/share/applications/quenvar.desktop"_s);
    QVERIFY2(entry.startsWith("[Desktop Entry]\n"), entry.constData());
    QVERIFY2(entry.contains("\nExec=" + quotedLauncher + '\n'), entry.constData());
    QVERIFY(
        entry.contains("\nIcon=" + m_prefix.toUtf8() + "/share/icons/hicolor/scalable/apps/quenvar.svg\n"));
    QVERIFY(entry.contains("\nType=Application\n"));
    // Desktops look for menu entries in the user's data folder, never inside the installed tree.
    QCOMPARE(contentOf(m_home.filePath(u".local/share/applications/quenvar.desktop"_s)), entry);

    const QByteArray service = contentOf(m_prefix + u"/share/quenvar/quenvar.service"_s);
    QVERIFY2(service.contains("\nExecStart=" + quotedLauncher + " --open --connect\n"), service.constData());
    QVERIFY(service.contains("\nEnvironment=QT_QPA_PLATFORM=offscreen\n"));
    const QByteArray autostart = contentOf(m_prefix + u"/share/quenvar/quenvar-autostart.desktop"_s);
    QVERIFY2(autostart.contains("\nExec=" + quotedLauncher + " --open --connect\n"), autostart.constData());
}

void TestInstall::commandLineAnswersWithoutAWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("onStdout");
    QTest::addColumn<QString>("onStderr");

    QTest::newRow("--help") << QStringList {u"--help"_s} << 0 << u"--connect"_s << QString();
    QTest::newRow("-h") << QStringList {u"-h"_s} << 0 << u"--open"_s << QString();
    QTest::newRow("--version") << QStringList {u"--version"_s} << 0 << u"quenvar " QUENVAR_VERSION "\n"_s
                               << QString();
    QTest::newRow("help wins over other options")
        << QStringList {u"--open"_s, u"--help"_s} << 0 << u"--log"_s << QString();
    QTest::newRow("unknown option") << QStringList {u"--bogus"_s} << kUsageError << QString() << u"--bogus"_s;
    QTest::newRow("unknown beside known")
        << QStringList {u"--open"_s, u"--colour"_s} << kUsageError << QString() << u"--colour"_s;
    QTest::newRow("value for an option that takes none")
        << QStringList {u"--open=yes"_s} << kUsageError << QString() << u"--open"_s;
    QTest::newRow("Qt's own options") << QStringList {u"-platform"_s, u"offscreen"_s, u"--style=Fusion"_s,
                                                      u"-session"_s,  u"1a2b"_s,      u"--version"_s}
                                      << 0 << u"quenvar " QUENVAR_VERSION "\n"_s << QString();
    QTest::newRow("HTTP port out of range")
        << QStringList {u"--http-port"_s, u"65536"_s} << kUsageError << QString() << u"HTTP-Port 65536"_s;
    QTest::newRow("too many frame clients")
        << QStringList {u"--clients"_s, u"17"_s} << kUsageError << QString() << u"Clients 17 (1 bis 16)"_s;
    QTest::newRow("argument") << QStringList {u"COM3"_s} << kUsageError << QString() << u"COM3"_s;
}

// No display and Qt's default platform: opening a window here would end the program at once.
void TestInstall::commandLineAnswersWithoutAWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(QString, onStdout);
    QFETCH(QString, onStderr);

    QProcessEnvironment environment = programEnvironment();
    environment.remove(u"QT_QPA_PLATFORM"_s);
    // A link elsewhere, as a package puts one in /usr/bin: the launcher still finds the program.
    const QString linked = m_home.filePath(u"quenvar-link"_s);
    QFile::link(launcher(), linked);

    for (const QString &start : {launcher(), linked}) {
        const Finished run = runToEnd(start, arguments, environment, kStartMs);
        QVERIFY2(run.normalExit, qPrintable(run.err));
        QVERIFY2(run.exitCode == exitStatus, qPrintable(u"exit status %1: "_s.arg(run.exitCode) + run.err));
        QVERIFY2(run.out.contains(onStdout), qPrintable(run.out));
        QVERIFY2(run.err.contains(onStderr), qPrintable(run.err));
        if (exitStatus == kUsageError) {
            QVERIFY(run.out.isEmpty());
            QVERIFY2(run.err.contains(u"quenvar --help"_s), qPrintable(run.err));
        }
    }
    QVERIFY(!QFileInfo::exists(userFolder()));
}

void TestInstall::openWithoutSettingsOpensTheEndpointsAndSaysWhyItCannotConnect()
{
    RunningProgram quenvar(launcher(), {u"--open"_s, u"--connect"_s}, programEnvironment());
    verifyFramePortsOpened(quenvar);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(quenvar.hasLine(statusLine(u"LFileProgress"_s, u"UDP-Betrieb über Port 15730"_s)));
    // Without RIri.ini there is no port to apply; the log tells so and nothing more is pressed.
    QVERIFY2(
        quenvar.waitForLine(QRegularExpression(u"quenvar\\.start: \"Einstellungen übernehmen\" ist nicht "
                                               "möglich.*\"Verbinden\" wird nicht gedrückt"_s),
                            kStartMs),
        qPrintable(quenvar.log()));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, kFramePort);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::ConnectedState, kStartMs);
    QVERIFY2(quenvar.waitForLine(statusLine(u"LFileProgress"_s, u"Anfrage über TCP:15371"_s), kStartMs),
             qPrintable(quenvar.log()));
    // Nothing was connected: Label5 said at most which ports this user may not open.
    QVERIFY2(!quenvar.hasLine(anyStatusLine(u"Label5: (?!COM\\d+[:,])"_s)), qPrintable(quenvar.log()));
    QVERIFY(quenvar.isRunning());
    // The user's folder is made on the first start; the log goes to standard error only.
    QCOMPARE(filesBelow(userFolder()), QStringList());
    QVERIFY(QFileInfo(userFolder()).isDir());
}

void TestInstall::connectsToTheTrackBoxUnattended()
{
    if (!kDevicesCanBeLinked)
        QSKIP(kNeedsRoot);
    TrackBox box;
    QVERIFY2(box.isOpen(), qPrintable(box.errorString()));
    DeviceLink device(box.portPath());
    QVERIFY2(device.isLinked(), "none of /dev/ttyUSB5, /dev/ttyACM5, /dev/ttyUSB4, /dev/ttyACM4 is free");
    writeSettings(device.portNumber());
    const QDateTime written = QFileInfo(userFolder() + u"/RIri.ini"_s).lastModified();
    QUdpSocket echoPeer;
    QVERIFY2(echoPeer.bind(QHostAddress::LocalHost, kEchoPort), "UDP port 15730 is busy");

    RunningProgram quenvar(launcher(), {u"--open"_s, u"--connect"_s}, programEnvironment());
    verifyFramePortsOpened(quenvar);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(quenvar.waitForLine(statusLine(u"Label5"_s, u"Gleisbox-ID: 47431234"_s), kStartMs),
             qPrintable(quenvar.log()));
    QVERIFY(
        quenvar.hasLine(statusLine(u"Label5"_s, u"Verbindung an COM%1 öffnen"_s.arg(device.portNumber()))));
    QCOMPARE(box.receivedFrames().size(), 1);
    QVERIFY(TrackBox::isPingRequest(box.receivedFrames().first()));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, kFramePort);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::ConnectedState, kStartMs);
    QVERIFY2(quenvar.waitForLine(statusLine(u"LFileProgress"_s, u"Anfrage über TCP:15371"_s), kStartMs),
             qPrintable(quenvar.log()));
    box.clearReceivedFrames();
    client.write(kToTrackBox);
    QTRY_COMPARE_WITH_TIMEOUT(box.receivedFrames(), QList<QByteArray> {kToTrackBox}, kStartMs);
    box.send(kFromTrackBox);
    QByteArray atClient;
    QTRY_VERIFY_WITH_TIMEOUT((atClient += client.readAll()) == kFromTrackBox, kStartMs);

    QUdpSocket udpClient;
    udpClient.writeDatagram(kToTrackBox, QHostAddress::LocalHost, kFramePort);
    QTRY_VERIFY_WITH_TIMEOUT(echoPeer.hasPendingDatagrams(), kStartMs);
    QCOMPARE(echoPeer.receiveDatagram().data(), kToTrackBox);

    // The settings applied through the window are the ones saved: the file is not written again.
    QCOMPARE(QFileInfo(userFolder() + u"/RIri.ini"_s).lastModified(), written);
    QCOMPARE(filesBelow(userFolder()), QStringList {u"RIri.ini"_s});

    // Unplugged and plugged in again (a new device under the same name): the link is made again.
    box.unplug();
    const QString retrying
        = u"COM%1 nicht verbunden – neuer Versuch alle 3 Sekunden"_s.arg(device.portNumber());
    QVERIFY2(quenvar.waitForLine(statusLine(u"Label5"_s, retrying), kStartMs), qPrintable(quenvar.log()));
    TrackBox replugged;
    device.retarget(replugged.portPath());
    QVERIFY2(QTest::qWaitFor([&] { return quenvar.log().count(u"Label5: Gleisbox-ID"_s) == 2; }, kStartMs),
             qPrintable(quenvar.log()));
    atClient.clear();
    replugged.send(kFromTrackBox);
    QTRY_VERIFY_WITH_TIMEOUT((atClient += client.readAll()).endsWith(kFromTrackBox), kStartMs);

    // Served is the user's folder, not the installed one. As root the program opens port 80.
    QVERIFY2(quenvar.hasLine(statusLine(u"LFileProgress"_s, u"Listening"_s)), qPrintable(quenvar.log()));
    const QString page = httpGet(kHttpPort, u"/"_s).value_or(QString());
    QVERIFY2(page.contains(u"RIri.ini"_s) && !page.contains(u"quenvar</a>"_s), qPrintable(page));
    // A signal ends it as "Ende" does: the serial port and its lock are released.
    const QString lock = u"/var/lock/LCK.."_s + QFileInfo(device.path()).fileName();
    QVERIFY2(QFileInfo::exists(lock), qPrintable(lock));
    QCOMPARE(quenvar.endBy(SIGTERM, kEndMs), std::optional<int>(0));
    QVERIFY(!QFileInfo::exists(lock));
    QCOMPARE(QFileInfo(userFolder() + u"/RIri.ini"_s).lastModified(), written);
}

void TestInstall::silentTrackBoxIsReportedOnceAndNotRetried()
{
    if (!kDevicesCanBeLinked)
        QSKIP(kNeedsRoot);
    TrackBox box;
    QVERIFY2(box.isOpen(), qPrintable(box.errorString()));
    box.setSilent(true);
    DeviceLink device(box.portPath());
    QVERIFY2(device.isLinked(), "none of /dev/ttyUSB5, /dev/ttyACM5, /dev/ttyUSB4, /dev/ttyACM4 is free");
    writeSettings(device.portNumber());

    RunningProgram quenvar(launcher(), {u"--open"_s, u"--connect"_s}, programEnvironment());
    verifyFramePortsOpened(quenvar);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(quenvar.waitForLine(statusLine(u"Label5"_s, u"keine Verbindung"_s), kPingTimeOutMs + kStartMs),
             qPrintable(quenvar.log()));
    // Nothing presses "Verbinden" again: one ping, and the program stays up for a person to retry.
    QTest::qWait(kSlackMs);
    QCOMPARE(box.receivedFrames().size(), 1);
    QVERIFY(quenvar.isRunning());
}

void TestInstall::logNeverStopsItAndSignalsEndIt_data()
{
    QTest::addColumn<QString>("standardError");
    QTest::addColumn<int>("signal");
    QTest::newRow("closed, SIGTERM") << u"closed"_s << SIGTERM;
    QTest::newRow("a pipe nobody reads, SIGINT") << u"unread"_s << SIGINT;
    QTest::newRow("a pipe whose reader leaves, SIGHUP") << u"left"_s << SIGHUP;
}

void TestInstall::logNeverStopsItAndSignalsEndIt()
{
    QFETCH(QString, standardError);
    QFETCH(int, signal);
    QDir().mkpath(userFolder());
    QFile piece(userFolder() + u"/piece.bin"_s);
    QVERIFY(piece.open(QIODevice::WriteOnly) && piece.resize(kPieceFileBytes));
    int log[2] = {-1, -1};
    QVERIFY(::pipe2(log, O_CLOEXEC) == 0);
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 httpPort = probe.serverPort();
    probe.close();
    RunningProgram quenvar(launcher(), {u"--open"_s, u"--http-port"_s, QString::number(httpPort)},
                           programEnvironment(), [closed = standardError == u"closed"_s, writeEnd = log[1]] {
                               if (!closed)
                                   ::dup2(writeEnd, STDERR_FILENO);
                               for (int fd = STDIN_FILENO; closed && fd <= STDERR_FILENO; ++fd)
                                   ::close(fd);
                           });
    ::close(log[1]);
    if (standardError == u"left"_s)
        ::close(log[0]); // as "| head" does once it has its lines
    QVERIFY(QTest::qWaitFor([&] { return httpGet(httpPort, u"/"_s).has_value(); }, kStartMs));
    for (int i = 0; i < kPieceRequests; ++i)
        QVERIFY2(httpGet(httpPort, u"/piece.bin"_s).value_or(QString()).size() == kPieceFileBytes,
                 qPrintable(QString::number(i)));
    for (int fd = STDIN_FILENO; standardError == u"closed"_s && fd <= STDERR_FILENO; ++fd)
        QCOMPARE(QFile::symLinkTarget(u"/proc/%1/fd/%2"_s.arg(quenvar.pid()).arg(fd)), u"/dev/null"_s);
    QCOMPARE(quenvar.endBy(signal, kEndMs), std::optional<int>(0));
    if (standardError != u"left"_s)
        ::close(log[0]);
}

void TestInstall::aNormalUserInstallsAndSavesInAFolderOfTheirOwn()
{
    if (!kDevicesCanBeLinked)
        QSKIP(kNeedsRoot);
    QTemporaryDir home;
    QVERIFY(::chown(QFile::encodeName(home.path()).constData(), kNobody, kNobody) == 0);
    QProcessEnvironment environment = programEnvironment();
    environment.insert(u"HOME"_s, home.path());
    const QString prefix = home.filePath(u".local/opt/quenvar"_s);
    const Finished install
        = runToEnd(u"setpriv"_s,
                   kAsNobody
                       + QStringList {QStringLiteral(QUENVAR_CMAKE), u"--install"_s,
                                      QStringLiteral(QUENVAR_BUILD_DIR), u"--prefix"_s, prefix},
                   environment);
    // Only the install manifest, in the build tree, is root's; the install itself is the user's.
    QVERIFY2(QFileInfo(prefix + u"/bin/quenvar"_s).ownerId() == kNobody,
             qPrintable(install.out + install.err));
    // An adapter of the user's, and one of the group dialout, which the user is not in.
    TrackBox box;
    QVERIFY(::chown(QFile::encodeName(box.portPath()).constData(), kNobody, kNobody) == 0);
    DeviceLink device(box.portPath());
    PseudoTerminal groupOnly;
    const QByteArray groupDevice = QFile::encodeName(groupOnly.slavePath());
    QVERIFY(::chown(groupDevice.constData(), 0, ::getgrnam("dialout")->gr_gid) == 0
            && ::chmod(groupDevice.constData(), 0660) == 0);
    DeviceLink otherDevice(groupOnly.slavePath());
    QVERIFY(device.isLinked() && otherDevice.isLinked());
    // Settings written elsewhere, with bare line feeds: saving them as the user rewrites them.
    const QString ini = home.filePath(u".local/share/quenvar/RIri.ini"_s);
    QVERIFY(QDir().mkpath(QFileInfo(ini).path()));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("riri\nPortNr=" + QByteArray::number(device.portNumber()) + "\nBaudRate=115200\n");
    file.close();
    for (const QString &own : {QFileInfo(ini).path(), ini})
        QVERIFY(::chown(QFile::encodeName(own).constData(), kNobody, kNobody) == 0);
    RunningProgram quenvar(u"setpriv"_s, kAsNobody + QStringList {prefix + u"/bin/quenvar"_s, u"--connect"_s},
                           environment);
    QVERIFY2(quenvar.waitForLine(statusLine(u"Label5"_s, u"Gleisbox-ID: 47431234"_s), kStartMs),
             qPrintable(quenvar.log()));
    QVERIFY(quenvar.hasLine(anyStatusLine(u"Label5: .*COM%1: kein Zugriff – Benutzer in die Gruppe dialout "
                                          "aufnehmen"_s.arg(otherDevice.portNumber()))));
    QCOMPARE(contentOf(ini), settingsText(device.portNumber(), 115200));
    QCOMPARE(QFileInfo(ini).ownerId(), kNobody);
}

// What a normal user is told to run works when pasted, whatever the number of missing packages.
void TestInstall::missingPackagesArePrintedAsOnePastableLine()
{
    const QStringList make = {u"make"_s,     u"-s"_s,
                              u"-C"_s,       QStringLiteral(QUENVAR_SOURCE_DIR),
                              u"deps-run"_s, u"RUN_PACKAGES=quenvar-missing-a make quenvar-missing-b"_s};
    const Finished printed
        = ::geteuid() == 0 ? runToEnd(u"setpriv"_s, kAsNobody + make) : runToEnd(make[0], make.mid(1));
    const QString line = printed.out.section(u'\n', 1, 1);
    QVERIFY2(line.startsWith(u"  sudo "_s), qPrintable(printed.out + printed.err));
    const Finished pasted = runToEnd(u"sh"_s, {u"-c"_s, u"sudo() { printf '%s\\n' \"$@\"; }; "_s + line});
    QCOMPARE(pasted.out,
             u"apt-get\nupdate\napt-get\ninstall\n-y\n--no-install-recommends\nquenvar-missing-a\n"
             "quenvar-missing-b\n"_s);
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
