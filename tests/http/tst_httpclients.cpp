// Real clients against the server: curl downloads and a recursive wget mirror of the served folder.
#include "httptestsupport.h"
#include "listing.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ClientTimeoutMs = 60'000;

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 13) ^ (i >> 7));
    return bytes;
}

// Runs a program while the server (on this thread) keeps answering; gives its standard output.
QByteArray run(const QString &program, const QStringList &arguments, int *exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStandardPaths::findExecutable(program), arguments);
    if (!pumpUntil([&] { return process.state() == QProcess::NotRunning; }, ClientTimeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The served tree, and what a mirror of it must hold besides its listing pages.
QMap<QString, QByteArray> makeTree(const TestServer &tree)
{
    const QMap<QString, QByteArray> files {
        {u"readme"_s, "plain text\n"},        {u"empty.txt"_s, {}},
        {u"a b.txt"_s, "with a space"},       {u"page.html"_s, "<html><body>no links here</body></html>"},
        {u"song.mp3"_s, pattern(70'000)},     {u"music/live/track.bin"_s, pattern(5000)},
        {u"music/list.m3u"_s, "track.bin\n"}, {u"deep/a/b/c/leaf.dat"_s, pattern(2049)},
    };
    tree.makeFolder("music/live");
    tree.makeFolder("deep/a/b/c");
    tree.makeFolder("empty");
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        tree.writeFile(it.key().toUtf8(), it.value());
    tree.writeFile(".hidden", "never mirrored");
    tree.makeFolder(".secret");
    tree.writeFile(".secret/x", "never mirrored");
    return files;
}

} // namespace

class TestHttpClients : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void curlDownloads_data();
    void curlDownloads();
    void wgetMirrorsTheFolderExactly();
};

void TestHttpClients::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(u"curl"_s).isEmpty(),
             "curl is needed (the Makefile installs it)");
    QVERIFY2(!QStandardPaths::findExecutable(u"wget"_s).isEmpty(),
             "wget is needed (the Makefile installs it)");
}

void TestHttpClients::curlDownloads_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file"); // served file, or empty for the listing of `path`
    QTest::addColumn<QString>("status");

    QTest::newRow("binary file") << u"/song.mp3"_s << u"song.mp3"_s << u"200"_s;
    QTest::newRow("nested file") << u"/music/live/track.bin"_s << u"music/live/track.bin"_s << u"200"_s;
    QTest::newRow("name with a space") << u"/a%20b.txt"_s << u"a b.txt"_s << u"200"_s;
    QTest::newRow("empty file") << u"/empty.txt"_s << u"empty.txt"_s << u"200"_s;
    QTest::newRow("root listing") << u"/"_s << QString() << u"200"_s;
    QTest::newRow("folder listing") << u"/music"_s << QString() << u"200"_s;
    QTest::newRow("missing") << u"/nothing"_s << u"-"_s << u"404"_s;
    QTest::newRow("hidden") << u"/.hidden"_s << u"-"_s << u"404"_s;
}

void TestHttpClients::curlDownloads()
{
    QFETCH(QString, path);
    QFETCH(QString, file);
    QFETCH(QString, status);
    TestServer server;
    makeTree(server);
    const QString output = server.base.path() + u"/download"_s;
    int exitCode = 0;
    const QByteArray code
        = run(u"curl"_s,
              {u"--silent"_s, u"--max-time"_s, u"30"_s, u"--output"_s, output, u"--write-out"_s,
               u"%{http_code}"_s, u"http://127.0.0.1:"_s + QString::number(server.port()) + path},
              &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(QString::fromLatin1(code), status);
    if (file == u"-"_s)
        QCOMPARE(readFile(output), QByteArray());
    else if (file.isEmpty())
        QCOMPARE(readFile(output), BuildDirListing(server.pathBytes(), path.toLatin1()));
    else
        QCOMPARE(readFile(output), readFile(server.path(file)));
}

void TestHttpClients::wgetMirrorsTheFolderExactly()
{
    TestServer server;
    QMap<QString, QByteArray> expected = makeTree(server);
    // Listing pages are kept as HTML files: the root as index.html, a folder as its name + ".html".
    const QMap<QString, QByteArray> pages {
        {u"index.html"_s, "/"},
        {u"music.html"_s, "/music"},
        {u"music/live.html"_s, "/music/live"},
        {u"deep.html"_s, "/deep"},
        {u"deep/a.html"_s, "/deep/a"},
        {u"deep/a/b.html"_s, "/deep/a/b"},
        {u"deep/a/b/c.html"_s, "/deep/a/b/c"},
        {u"empty.html"_s, "/empty"},
    };
    for (auto it = pages.cbegin(); it != pages.cend(); ++it)
        expected.insert(it.key(), BuildDirListing(server.pathBytes(), it.value()));

    const QString mirror = server.base.path() + u"/mirror"_s;
    int exitCode = 0;
    // wget keeps a connection for reuse even when an HTTP/1.0 answer does not offer
    // keep-alive; the server closes every connection after its one answer, so a
    // reuse would race that close. One connection per request, as the server serves.
    run(u"wget"_s,
        {u"--recursive"_s, u"--level=inf"_s, u"--no-host-directories"_s, u"--adjust-extension"_s,
         u"--no-http-keep-alive"_s, u"-e"_s, u"robots=off"_s, u"--quiet"_s, u"--tries=1"_s, u"--timeout=30"_s,
         u"--directory-prefix="_s + mirror, u"http://127.0.0.1:"_s + QString::number(server.port()) + u"/"_s},
        &exitCode);
    QCOMPARE(exitCode, 0);

    QMap<QString, QByteArray> mirrored;
    QDirIterator files(mirror, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        mirrored.insert(path.mid(mirror.size() + 1), readFile(path));
    }
    QCOMPARE(mirrored.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(mirrored.value(it.key()) == it.value(), qPrintable(it.key()));
}

QTEST_GUILESS_MAIN(TestHttpClients)
#include "tst_httpclients.moc"
