// The link object's frame decisions, settings texts and settings file, without a window.
#include "can.h"
#include "fixedtexts.h"
#include "framebytes.h"
#include "linkwindow.h"
#include "numbertext.h"
#include "processusage.h"
#include "serialport.h"
#include "settingsfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The window as the link object sees it: status line, buttons and baud field recorded.
struct RecordedWindow : LinkWindow
{
    QString status;
    QString baud;
    QMap<Control, bool> enabled;
    void showLinkStatus(const QString &text) override { status = text; }
    void setControlEnabled(Control control, bool on) override { enabled[control] = on; }
    void setComboSelectedIndex(int) override { }
    int comboCount() const override { return 0; }
    QString comboEntry(int) const override { return {}; }
    void setBaudText(const QString &text) override { baud = text; }
};

// A link object with a window and port of its own, so no case sees what another left behind.
struct Link
{
    explicit Link(const QString &iniPath = {})
        : can(port, window, iniPath)
    {
    }
    RecordedWindow window;
    SerialPort port {[](int) { return QString(); }};
    CAN can;
};

const QByteArray OldSettings = settingsText(3, 9600);
const QByteArray NewSettings = settingsText(5, 115200);
// Exit code of a child that found the machine unable to set up its case.
constexpr int ChildSkipped = 77;
constexpr uid_t Nobody = 65534;

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Runs `body` in a child process (so it may mount or drop its user) and gives its exit code.
int inChild(const std::function<int()> &body)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int code = body();
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In a child: a mount namespace of its own (as root, or as a user mapped to root) with a small tmpfs at
// `folder`.
bool mountSmallFileSystem(const QByteArray &folder, const char *size)
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        const auto write = [](const char *path, const QByteArray &text) {
            QFile file(QString::fromLatin1(path));
            return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        };
        write("/proc/self/setgroups", "deny");
        if (!write("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
            || !write("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", folder.constData(), "tmpfs", 0, ("size=" + QByteArray(size)).constData()) == 0;
}

// In a child: the rights of an ordinary user, also when the tests run as root.
bool dropToOrdinaryUser()
{
    if (::getuid() != 0)
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(Nobody) == 0 && ::setuid(Nobody) == 0;
}

int childFailure(const char *what)
{
    std::fprintf(stderr, "child: %s\n", what);
    return 1;
}

// Opens a fifo for writing now and then once `after` has passed, which frees a reader stuck in open().
class FifoUnblocker
{
public:
    FifoUnblocker(const QByteArray &fifo, std::chrono::milliseconds after)
        : m_thread([this, fifo, after] {
            const auto start = std::chrono::steady_clock::now();
            while (!m_stop) {
                struct stat entry
                {
                };
                if (std::chrono::steady_clock::now() - start > after && ::stat(fifo.constData(), &entry) == 0
                    && S_ISFIFO(entry.st_mode)) {
                    const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                    if (fd >= 0) {
                        m_unblocked = true;
                        ::close(fd);
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        })
    {
    }
    ~FifoUnblocker()
    {
        m_stop = true;
        m_thread.join();
    }
    bool unblocked() const { return m_unblocked; }

private:
    std::atomic<bool> m_stop {false};
    std::atomic<bool> m_unblocked {false};
    std::thread m_thread;
};

QByteArray pingAnswer(int t1, int t2)
{
    return frameBytes({0x00, 0x31, 0x12, 0x34, 8, 0x47, 0x43, 0x12, 0x34, 0x00, 0x01, t1, t2});
}

} // namespace

class TestCan : public QObject
{
    Q_OBJECT

private slots:
    void pingAnswersAreIdentifiedAndRewritten_data()
    {
        QTest::addColumn<int>("t1");
        QTest::addColumn<int>("t2");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("status");
        QTest::newRow("track box") << 0x00 << 0x10 << 1 << u"Gleisbox-ID: 47431234"_s;
        QTest::newRow("0100 read as 0010") << 0x01 << 0x00 << 1 << u"Gleisbox-ID: 47431234"_s;
        QTest::newRow("below MS2") << 0x00 << 0x2F << 2 << u"GFP nicht identifiziert"_s;
        QTest::newRow("first MS2") << 0x00 << 0x30 << 1 << u"MS2-ID: 47431234"_s;
        QTest::newRow("last MS2") << 0x00 << 0x3F << 1 << u"MS2-ID: 47431234"_s;
        QTest::newRow("above MS2") << 0x00 << 0x40 << 2 << u"GFP nicht identifiziert"_s;
        QTest::newRow("CS2") << 0xFF << 0xFF << 1 << u"CS2-ID: 47431234"_s;
    }
    void pingAnswersAreIdentifiedAndRewritten()
    {
        QFETCH(int, t1);
        QFETCH(int, t2);
        QFETCH(int, code);
        QFETCH(QString, status);
        Link fresh;
        const QByteArray answer = pingAnswer(t1, t2);
        QByteArray expected = answer;
        expected[11] = char(0xEE);
        expected[12] = char(0xEE);
        QCOMPARE(fresh.can.CBefehl(answer), expected);
        QCOMPARE(fresh.can.answerCode(), code);
        QCOMPARE(fresh.window.status, status);
        QCOMPARE(fresh.can.deviceId(), code == 1 ? u"47431234"_s : QString());
        // Every ping answer switches the buttons, identified or not.
        QCOMPARE(fresh.window.enabled.value(LinkWindow::Control::Command4, true), false);
        QCOMPARE(fresh.window.enabled.value(LinkWindow::Control::Command5, false), true);
    }

    void otherFramesPassWholeAndLeaveTheAnswerCode()
    {
        Link fresh;
        CAN &link = fresh.can;
        link.CBefehl(pingAnswer(0x00, 0x10));
        const QList<QByteArray> others = {
            frameBytes({0x00, 0x08, 0x47, 0x11, 8, 1, 2, 3, 4, 5, 6, 7, 8}), // 8 bytes, not a ping
            frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0}), // ping request
            frameBytes({0x20, 0x31, 0x12, 0x34, 5, 0, 0, 0, 0, 0, 0, 0, 0x20}), // spaces at both ends
        };
        for (const QByteArray &other : others) {
            QCOMPARE(link.CBefehl(other), other);
            QCOMPARE(link.answerCode(), 1);
        }
        // A later answer of an unknown device keeps the identifier of the known one.
        link.CBefehl(pingAnswer(0x00, 0x40));
        QCOMPARE(link.deviceId(), u"47431234"_s);
        QCOMPARE(link.deviceType(), u"0040"_s);
    }

    void udpPingAnswersTurnIntoRequests()
    {
        Link fresh;
        CAN &link = fresh.can;
        const QByteArray answer
            = frameBytes({0x00, 0x31, 0x8B, 0x0A, 8, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10});
        QCOMPARE(link.CAN_Retour(answer),
                 frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10}));
        QCOMPARE(link.idBits(), u"00000001100001000101100001010"_s);
        // Requests, other commands and spaces at the ends pass unchanged.
        for (const QByteArray &same : {frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                                       frameBytes({0x00, 0x09, 0x8B, 0x0A, 8, 0, 0, 0, 0, 0, 0, 0, 0}),
                                       frameBytes({0x20, 0x09, 0x8B, 0x0A, 8, 0, 0, 0, 0, 0, 0, 0, 0x20})})
            QCOMPARE(link.CAN_Retour(same), same);
    }

    void speedTextsConvertBothWays()
    {
        Link fresh;
        CAN &link = fresh.can;
        QVERIFY(link.setCOM_Speed(u"115200"_s));
        QCOMPARE(link.COM_Speed(), u"115200"_s);
        QVERIFY(!link.setCOM_Speed(u"9k6"_s));
        QVERIFY(!link.setCOM_Speed(QString()));
        QCOMPARE(link.COM_Speed(), u"115200"_s);
        QVERIFY(link.setCOM_Speed(u"1234567"_s));
        QCOMPARE(link.COM_Speed(), u"1234567"_s);
    }

    void portNumbersComeFromTheLeadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << u"12"_s << 12.0;
        QTest::newRow("blanks and tail") << u"  7abc"_s << 7.0;
        QTest::newRow("none") << u"x7"_s << 0.0;
        QTest::newRow("empty") << QString() << 0.0;
        QTest::newRow("decimals") << u"2.5"_s << 2.5;
    }
    void portNumbersComeFromTheLeadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(leadingNumber(text), value);
        QCOMPARE(roundToRange(2.5, -32768, 32767), std::optional<int>(2));
        QCOMPARE(roundToRange(3.5, -32768, 32767), std::optional<int>(4));
        QVERIFY(!roundToRange(32768, -32768, 32767));
    }

    void openFailsWithTheNamedPort()
    {
        Link fresh;
        CAN &link = fresh.can;
        link.setCOM_Port(u"99999"_s); // outside the 16-bit range
        link.setCOM_Speed(u"9600"_s);
        QCOMPARE(link.Verbinden(), u"Fehler beim Öffnen von COM99999"_s);
        QVERIFY(!link.Verbindungs_Status());
        QCOMPARE(link.Trennen(), u"Verbindung getrennt"_s);
    }

    void settingsFileBytes()
    {
        QCOMPARE(settingsBytes(u"3"_s, u"9600"_s), OldSettings);
        QCOMPARE(settingsBytes(u"3"_s, u"9600"_s).size(), 31);
        // A line break pasted into the port field stays inside its line.
        QCOMPARE(settingsBytes(u"3\r\nBaudRate=1"_s, u"9600"_s),
                 QByteArray("riri\r\nPortNr=3BaudRate=1\r\nBaudRate=9600\r\n"));
        const LinkSettings parsed = parseSettings("x\r\nriri\r\nPortNr=\r\nBaudRate= 4800 \r\nriri");
        QCOMPARE(parsed.portText, std::optional<QString>(QString()));
        QCOMPARE(parsed.speed, std::optional<double>(4800));
    }

    void settingsAreReadOnlyFromASmallRegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("baud");
        QTest::newRow("regular file") << u"file"_s << u"3"_s << u"9600"_s;
        QTest::newRow("link to a regular file") << u"link"_s << u"3"_s << u"9600"_s;
        QTest::newRow("missing") << u"missing"_s << QString() << u"0"_s;
        QTest::newRow("folder") << u"folder"_s << QString() << u"0"_s;
        QTest::newRow("fifo without a writer") << u"fifo"_s << QString() << u"0"_s;
        QTest::newRow("fifo holding settings") << u"fifo with settings"_s << QString() << u"0"_s;
        QTest::newRow("link to a device without end") << u"device"_s << QString() << u"0"_s;
        QTest::newRow("settings behind 100 MiB of line feeds") << u"huge"_s << QString() << u"0"_s;
    }
    void settingsAreReadOnlyFromASmallRegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, port);
        QFETCH(QString, baud);
        QTemporaryDir dir;
        const QString ini = dir.filePath(u"RIri.ini"_s);
        const QByteArray iniBytes = QFile::encodeName(ini);
        int reader = -1;
        if (kind == u"file"_s) {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(OldSettings) == OldSettings.size());
        } else if (kind == u"link"_s) {
            QFile file(dir.filePath(u"saved.txt"_s));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(OldSettings) == OldSettings.size());
            QVERIFY(::symlink("saved.txt", iniBytes.constData()) == 0);
        } else if (kind == u"folder"_s) {
            QVERIFY(QDir(dir.path()).mkdir(u"RIri.ini"_s));
        } else if (kind.startsWith(u"fifo"_s)) {
            QVERIFY(::mkfifo(iniBytes.constData(), 0600) == 0);
            if (kind == u"fifo with settings"_s) {
                // Data waits in the fifo, and its writer is gone: a reader would get it whole.
                reader = ::open(iniBytes.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                const int writer = ::open(iniBytes.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                QVERIFY(reader >= 0 && writer >= 0);
                QCOMPARE(::write(writer, OldSettings.constData(), size_t(OldSettings.size())),
                         ssize_t(OldSettings.size()));
                ::close(writer);
            }
        } else if (kind == u"device"_s) {
            QVERIFY(::symlink("/dev/zero", iniBytes.constData()) == 0);
        } else if (kind == u"huge"_s) {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly));
            const QByteArray lineFeeds(1024 * 1024, '\n');
            for (int i = 0; i < 100; ++i)
                QVERIFY(file.write(lineFeeds) == lineFeeds.size());
            QVERIFY(file.write(OldSettings) == OldSettings.size());
        }
        Link fresh(ini);
        const qint64 memoryBefore = residentBytes();
        QElapsedTimer clock;
        clock.start();
        {
            FifoUnblocker unblocker(iniBytes, std::chrono::milliseconds(3000));
            fresh.can.ini_lesen();
            QVERIFY2(!unblocker.unblocked(), "reading the settings waited for a fifo's writer");
        }
        const qint64 elapsed = clock.elapsed();
        const qint64 grown = residentBytes() - memoryBefore;
        if (reader >= 0)
            ::close(reader);
        QCOMPARE(fresh.can.COM_Port(), port);
        QCOMPARE(fresh.window.baud, baud);
        QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));
        QVERIFY2(grown < 16 * 1024 * 1024, qPrintable(QString::number(grown)));
    }

    void settingsAreReplacedWhole()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(u"RIri.ini"_s);
        QFile old(ini);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(OldSettings) == OldSettings.size());
        old.close();
        QVERIFY(::chmod(QFile::encodeName(ini).constData(), 0640) == 0);
        Link fresh(ini);
        fresh.can.setCOM_Port(u"5"_s);
        QVERIFY(fresh.can.setCOM_Speed(u"115200"_s));
        fresh.can.ini_Schreiben();
        QCOMPARE(fileBytes(ini), NewSettings);
        QCOMPARE(fresh.window.status, QString());
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList {u"RIri.ini"_s});
        struct stat saved
        {
        };
        QVERIFY(::stat(QFile::encodeName(ini).constData(), &saved) == 0);
        QCOMPARE(saved.st_mode & 07777, mode_t(0640));
    }

    void pinnedLinkedAndUnchangedSettings()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(u"RIri.ini"_s);
        const QString target = dir.filePath(u"saved.txt"_s);
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(OldSettings) == OldSettings.size());
        old.close();
        QVERIFY(QFile::link(u"saved.txt"_s, ini));
        Link fresh(ini);
        fresh.can.setCOM_Port(u"5"_s);
        QVERIFY(fresh.can.setCOM_Speed(u"115200"_s));
        fresh.can.ini_Schreiben(); // through the link
        QCOMPARE(fileBytes(target), NewSettings);
        QVERIFY(QFileInfo(ini).isSymLink());
        // Made read-only to pin the settings: saving them again is no failure, saving others is refused.
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0444) == 0);
        fresh.can.ini_Schreiben();
        QCOMPARE(fresh.window.status, QString());
        fresh.can.setCOM_Port(u"3"_s);
        fresh.can.ini_Schreiben();
        QCOMPARE(fresh.window.status,
                 u"Einstellungen konnten nicht gespeichert werden: keine Schreibberechtigung"_s);
        QCOMPARE(fileBytes(target), NewSettings);
    }

    void fullDiskKeepsTheOldSettings()
    {
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path());
        const int code = inChild([&] {
            if (!mountSmallFileSystem(folder, "64k"))
                return ChildSkipped;
            const QString ini = dir.filePath(u"RIri.ini"_s);
            QFile old(ini);
            if (!old.open(QIODevice::WriteOnly) || old.write(OldSettings) != OldSettings.size()
                || !old.flush())
                return childFailure("cannot write the old settings");
            old.close();
            // Fill what is left, so not one more byte fits.
            const int filler = ::open((folder + "/filler").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const QByteArray block(4096, 'f');
            while (::write(filler, block.constData(), size_t(block.size())) > 0) { }
            const int full = errno;
            ::close(filler);
            if (full != ENOSPC)
                return childFailure("the file system did not fill up");
            Link fresh(ini);
            fresh.can.setCOM_Port(u"5"_s);
            fresh.can.setCOM_Speed(u"115200"_s);
            fresh.can.ini_Schreiben();
            if (fileBytes(ini) != OldSettings)
                return childFailure("the old settings were not kept whole");
            if (fresh.window.status
                != u"Einstellungen konnten nicht gespeichert werden: kein Speicherplatz frei"_s)
                return childFailure(qPrintable(u"status: "_s + fresh.window.status));
            const QStringList left
                = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
            if (QSet<QString>(left.cbegin(), left.cend()) != QSet<QString> {u"RIri.ini"_s, u"filler"_s})
                return childFailure(qPrintable(u"left behind: "_s + left.join(u' ')));
            return 0;
        });
        if (code == ChildSkipped)
            QSKIP("no small file system can be mounted here (neither root nor user namespaces)");
        QCOMPARE(code, 0);
    }

    void readOnlyFolderIsSavedInPlace_data()
    {
        QTest::addColumn<bool>("fileWritable");
        QTest::addColumn<QString>("status");
        QTest::newRow("writable file") << true << QString();
        QTest::newRow("nothing writable")
            << false << u"Einstellungen konnten nicht gespeichert werden: keine Schreibberechtigung"_s;
    }
    void readOnlyFolderIsSavedInPlace()
    {
        QFETCH(bool, fileWritable);
        QFETCH(QString, status);
        QTemporaryDir dir;
        const QString ini = dir.filePath(u"RIri.ini"_s);
        QFile old(ini);
        // Longer than the new settings, so what is overwritten in place must be cut to length.
        const QByteArray longOld = OldSettings + settingsText(12, 1200);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(longOld) == longOld.size());
        old.close();
        const QByteArray folder = QFile::encodeName(dir.path());
        QVERIFY(::chmod(QFile::encodeName(ini).constData(), fileWritable ? 0666 : 0444) == 0);
        QVERIFY(::chmod(folder.constData(), 0555) == 0);
        const int code = inChild([&] {
            if (!dropToOrdinaryUser())
                return ChildSkipped;
            const int probe = ::open((folder + "/probe").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (probe >= 0)
                return ChildSkipped; // permission bits are not honoured here
            Link fresh(ini);
            fresh.can.setCOM_Port(u"5"_s);
            fresh.can.setCOM_Speed(u"115200"_s);
            fresh.can.ini_Schreiben();
            if (fresh.window.status != status)
                return childFailure(qPrintable(u"status: "_s + fresh.window.status));
            return 0;
        });
        QVERIFY(::chmod(folder.constData(), 0700) == 0);
        if (code == ChildSkipped)
            QSKIP("cannot run as an ordinary user here, so a read-only folder cannot be made");
        QCOMPARE(code, 0);
        QCOMPARE(fileBytes(ini), fileWritable ? NewSettings : longOld);
    }

    void unwritableSettingsFileIsReported()
    {
        Link fresh(u"/proc/quenvar-cannot-write/RIri.ini"_s);
        fresh.can.setCOM_Port(u"3"_s);
        fresh.can.ini_Schreiben();
        QVERIFY2(fresh.window.status.startsWith(u"Einstellungen konnten nicht gespeichert werden: "_s),
                 qPrintable(fresh.window.status));
    }
};

QTEST_GUILESS_MAIN(TestCan)
#include "tst_can.moc"
