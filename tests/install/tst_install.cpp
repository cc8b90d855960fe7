// The installed program: its folder, its launcher and menu entry, its command line, and an
// unattended start (--open --connect) against the simulated track box.
#include "framebytes.h"
#include "programrun.h"
#include "trackbox.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

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
    ~DeviceLink()
    {
        if (!m_path.isEmpty() && QFileInfo(m_path).symLinkTarget() == m_target)
            QFile::remove(m_path);
    }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    bool isLinked() const { return !m_path.isEmpty(); }
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

private:
    QString launcher() const { return m_prefix + u"/bin/quenvar"_s; }
    QString programFolder() const { return m_prefix + u"/program"_s; }
    QProcessEnvironment programEnvironment() const;
    void writeSettings(int portNumber) const;
    void skipUnlessDevicesCanBeLinked() const;
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

// Each case leaves the folder as installed, with nothing a user would have put there.
void TestInstall::cleanup()
{
    for (const QString &name : QDir(programFolder()).entryList(QDir::Files | QDir::Hidden)) {
        if (name != u"quenvar"_s)
            QFile::remove(programFolder() + u'/' + name);
    }
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
    return environment;
}

void TestInstall::writeSettings(int portNumber) const
{
    QFile ini(programFolder() + u"/RIri.ini"_s);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("riri\r\nPortNr=" + QByteArray::number(portNumber) + "\r\nBaudRate=115200\r\n");
}

void TestInstall::skipUnlessDevicesCanBeLinked() const
{
    if (::geteuid() != 0)
        QSKIP("Needs root: the installed program finds its serial ports only under /dev, where the "
              "simulated track box is linked. CI runs as root.");
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
                      u"share/icons/hicolor/scalable/apps/quenvar.svg"_s,
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
    QTest::newRow("Qt's own option") << QStringList {u"-platform"_s, u"offscreen"_s} << kUsageError
                                     << QString() << u"platform"_s;
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
    QCOMPARE(filesBelow(programFolder()), QStringList {u"quenvar"_s});
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
    QVERIFY(!quenvar.hasLine(anyStatusLine(u"Label5: "_s)));
    QVERIFY(quenvar.isRunning());
    // The log goes to standard error only.
    QCOMPARE(filesBelow(programFolder()), QStringList {u"quenvar"_s});
}

void TestInstall::connectsToTheTrackBoxUnattended()
{
    skipUnlessDevicesCanBeLinked();
    TrackBox box;
    QVERIFY2(box.isOpen(), qPrintable(box.errorString()));
    DeviceLink device(box.portPath());
    QVERIFY2(device.isLinked(), "none of /dev/ttyUSB5, /dev/ttyACM5, /dev/ttyUSB4, /dev/ttyACM4 is free");
    writeSettings(device.portNumber());
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

    // The settings were applied through the window, which saves them as they were.
    QCOMPARE(contentOf(programFolder() + u"/RIri.ini"_s),
             "riri\r\nPortNr=" + QByteArray::number(device.portNumber()) + "\r\nBaudRate=115200\r\n");
    QCOMPARE(filesBelow(programFolder()), (QStringList {u"RIri.ini"_s, u"quenvar"_s}));

    // Served is the program's folder, not the launcher's. Port 80 may be taken on this machine.
    if (!quenvar.hasLine(statusLine(u"LFileProgress"_s, u"Listening"_s)))
        QSKIP("HTTP port 80 could not be opened; the frame endpoints passed");
    QTcpSocket browser;
    browser.connectToHost(QHostAddress::LocalHost, kHttpPort);
    QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QAbstractSocket::ConnectedState, kStartMs);
    browser.write("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray page;
    QTRY_VERIFY_WITH_TIMEOUT((page += browser.readAll()).contains("</html>")
                                 || browser.state() == QAbstractSocket::UnconnectedState,
                             kStartMs);
    QVERIFY2(page.contains("RIri.ini") && page.contains("quenvar"), page.constData());
    QVERIFY2(!page.contains("program") && !page.contains("share"), page.constData());
}

void TestInstall::silentTrackBoxIsReportedOnceAndNotRetried()
{
    skipUnlessDevicesCanBeLinked();
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

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
