// The Debian package as make package builds it: its files, its dependencies and the program inside.
#include "programrun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kToolMs = 300'000;
constexpr int kStartMs = 15'000;

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void holdsTheInstalledTreeTheMenuEntryAndTheCommand();
    void declaresWhatItNeeds();
    void menuEntryAndStartExamplesNameTheInstalledLauncher();
    void packagedProgramAnswers();
    void lintianFindsNoError();
    void postinstLetsEveryUserOpenPort80();

private:
    Finished dpkgDeb(const QStringList &arguments) const
    {
        return runToEnd(u"dpkg-deb"_s, arguments, QProcessEnvironment::systemEnvironment(), kToolMs);
    }

    QTemporaryDir m_out;
    QString m_deb;
    QString m_root;
};

void TestPackage::initTestCase()
{
    QVERIFY(m_out.isValid());
    const QString config = QStringLiteral(QUENVAR_BUILD_DIR "/CPackConfig.cmake");
    const Finished cpack = runToEnd(QStringLiteral(QUENVAR_CPACK),
                                    {u"-G"_s, u"DEB"_s, u"--config"_s, config, u"-B"_s, m_out.path()},
                                    QProcessEnvironment::systemEnvironment(), kToolMs);
    QVERIFY2(cpack.normalExit && cpack.exitCode == 0, qPrintable(cpack.out + cpack.err));
    const QStringList debs = QDir(m_out.path()).entryList({u"quenvar_*.deb"_s}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = m_out.filePath(debs.first());
    m_root = m_out.filePath(u"root"_s);
    const Finished extract = dpkgDeb({u"-x"_s, m_deb, m_root});
    QVERIFY2(extract.exitCode == 0, qPrintable(extract.err));
}

void TestPackage::holdsTheInstalledTreeTheMenuEntryAndTheCommand()
{
    const Finished contents = dpkgDeb({u"--contents"_s, m_deb});
    QVERIFY2(contents.exitCode == 0, qPrintable(contents.err));
    // Lines such as: -rwxr-xr-x root/root 263 2024-01-01 12:00 ./opt/quenvar/bin/quenvar
    static const QRegularExpression entry(u"^(\\S)\\S*\\s+(\\S+)\\s+\\d+\\s+\\S+\\s+\\S+\\s+\\./(.*)$"_s);
    QStringList files;
    for (const QString &line : contents.out.split(u'\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = entry.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(2), u"root/root"_s);
        if (match.captured(1) != u"d"_s)
            files << match.captured(3);
    }
    files.sort();
    QCOMPARE(files,
             (QStringList {u"opt/quenvar/bin/quenvar"_s, u"opt/quenvar/program/quenvar"_s,
                           u"opt/quenvar/share/applications/quenvar.desktop"_s,
                           u"opt/quenvar/share/icons/hicolor/scalable/apps/quenvar.svg"_s,
                           u"opt/quenvar/share/man/man1/quenvar.1"_s,
                           u"opt/quenvar/share/quenvar/quenvar-autostart.desktop"_s,
                           u"opt/quenvar/share/quenvar/quenvar.service"_s,
                           u"usr/bin/quenvar -> /opt/quenvar/bin/quenvar"_s,
                           u"usr/share/applications/quenvar.desktop"_s, u"usr/share/doc/quenvar/changelog.gz"_s,
                           u"usr/share/doc/quenvar/copyright"_s, u"usr/share/man/man1/quenvar.1.gz"_s}));
}

void TestPackage::declaresWhatItNeeds()
{
    const Finished fields
        = dpkgDeb({u"--field"_s, m_deb, u"Package"_s, u"Version"_s, u"Architecture"_s, u"Depends"_s});
    QVERIFY2(fields.exitCode == 0, qPrintable(fields.err));
    QMap<QString, QString> control;
    for (const QString &line : fields.out.split(u'\n', Qt::SkipEmptyParts))
        control.insert(line.section(u": "_s, 0, 0), line.section(u": "_s, 1));
    QCOMPARE(control.value(u"Package"_s), u"quenvar"_s);
    QCOMPARE(control.value(u"Version"_s), QStringLiteral(QUENVAR_VERSION));
    const Finished architecture = runToEnd(u"dpkg"_s, {u"--print-architecture"_s});
    QCOMPARE(control.value(u"Architecture"_s), architecture.out.trimmed());

    QStringList depends;
    for (const QString &dependency : control.value(u"Depends"_s).split(u","_s))
        depends << dependency.trimmed().section(u' ', 0, 0);
    // The libraries the program links, and the platform plugins no library names.
    for (const QString &needed : {u"libqt6core6"_s, u"libqt6gui6"_s, u"libqt6widgets6"_s, u"libqt6network6"_s,
                                  u"libqt6serialport6"_s, u"qt6-qpa-plugins"_s, u"libc6"_s, u"libstdc++6"_s})
        QVERIFY2(depends.contains(needed),
                 qPrintable(needed + u" missing from: "_s + control.value(u"Depends"_s)));
}

void TestPackage::menuEntryAndStartExamplesNameTheInstalledLauncher()
{
    const QByteArray entry = contentOf(m_root + u"/usr/share/applications/quenvar.desktop"_s);
    QVERIFY2(entry.contains("\nExec=\"/opt/quenvar/bin/quenvar\"\n"), entry.constData());
    const QByteArray icon = "/opt/quenvar/share/icons/hicolor/scalable/apps/quenvar.svg";
    QVERIFY2(entry.contains("\nIcon=" + icon + '\n'), entry.constData());
    QVERIFY(QFileInfo::exists(m_root + QString::fromLatin1(icon)));
    QCOMPARE(contentOf(m_root + u"/opt/quenvar/share/applications/quenvar.desktop"_s), entry);
    const QByteArray service = contentOf(m_root + u"/opt/quenvar/share/quenvar/quenvar.service"_s);
    QVERIFY2(service.contains("\nExecStart=\"/opt/quenvar/bin/quenvar\" --open --connect\n"),
             service.constData());
}

void TestPackage::packagedProgramAnswers()
{
    const QString program = m_root + u"/opt/quenvar/program/quenvar"_s;
    // A search path of its own would load libraries from the folder it serves.
    const Finished dynamic = runToEnd(u"readelf"_s, {u"--dynamic"_s, program});
    QVERIFY2(dynamic.exitCode == 0, qPrintable(dynamic.err));
    QVERIFY2(!dynamic.out.contains(u"RUNPATH"_s) && !dynamic.out.contains(u"RPATH"_s),
             qPrintable(dynamic.out));

    const Finished version = runToEnd(m_root + u"/opt/quenvar/bin/quenvar"_s, {u"--version"_s});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, u"quenvar " QUENVAR_VERSION "\n"_s);
}

void TestPackage::lintianFindsNoError()
{
    // Outside the distribution a package belongs in /opt, which lintian would call an error.
    const Finished lintian = runToEnd(u"lintian"_s, {u"--suppress-tags"_s, u"dir-or-file-in-opt"_s, m_deb},
                                      QProcessEnvironment::systemEnvironment(), kToolMs);
    QVERIFY2(lintian.exitCode == 0 && !lintian.out.contains(u"E: "_s), qPrintable(lintian.out + lintian.err));
}

void TestPackage::postinstLetsEveryUserOpenPort80()
{
    if (::geteuid() != 0)
        QSKIP("Needs root to grant a capability and to run the program as another user. CI runs as root.");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DPKG_ROOT"_s, m_root);
    QVERIFY(dpkgDeb({u"--control"_s, m_deb, m_out.filePath(u"control"_s)}).exitCode == 0);
    const Finished postinst
        = runToEnd(m_out.filePath(u"control/postinst"_s), {u"configure"_s}, environment, kToolMs);
    QVERIFY2(postinst.exitCode == 0 && postinst.err.isEmpty(), qPrintable(postinst.err));

    // A normal user's program opens port 80.
    QVERIFY(::chmod(QFile::encodeName(m_out.path()).constData(), 0755) == 0);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    RunningProgram quenvar(u"setpriv"_s,
                           {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                            m_root + u"/opt/quenvar/program/quenvar"_s, u"--open"_s},
                           environment);
    QVERIFY2(quenvar.waitForLine(
                 QRegularExpression(u"LFileProgress: (Listening|.*HTTP-Port 80 kann nicht)"_s), kStartMs),
             qPrintable(quenvar.log()));
    QVERIFY2(!quenvar.log().contains(u"HTTP-Port 80 kann nicht"_s), qPrintable(quenvar.log()));
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
