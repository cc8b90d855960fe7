// The listing page: exact bytes, link forms, sizes in the locale, and what a real folder shows.
#include "httptestsupport.h"
#include "listing.h"

#include <QFile>
#include <QSet>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestListing : public QObject
{
    Q_OBJECT
private slots:
    void emptyFolderPage();
    void musicExamplePage();
    void pageShapes_data();
    void pageShapes();
    void links_data();
    void links();
    void sizes_data();
    void sizes();
    void realFolderListsOnlyServableEntries();
    void folderWithOnlyHiddenAndSystemEntriesIsEmpty();
    void namesPassByteForByte();
};

void TestListing::emptyFolderPage()
{
    const QByteArray page = Listing::page("/", {});
    QCOMPARE(page, QByteArray("<html><body>This folder is empty.</body></html>"));
    QCOMPARE(page.size(), 47);
}

void TestListing::musicExamplePage()
{
    GermanLocale german;
    const QByteArray page = Listing::page("/music/", {{"live", true, 0}, {"a b.mp3", false, 3'500'000}});
    const QList<QByteArray> lines = page.split('\n');
    QCOMPARE(lines.size(), 8);
    QCOMPARE(page.count('\n'), 7);
    QCOMPARE(page.size(), 277);
    QCOMPARE(lines[0], QByteArray("<html><body><b>Directories:</b><br><a href=\"/music/live\">live</a><br>"));
    QCOMPARE(lines[1],
             QByteArray("<br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" "
                        "cellspacing=\"2\">"));
    QCOMPARE(lines[2], QByteArray("<tr>"));
    QCOMPARE(lines[3], QByteArray("<td width=\"100%\"><a href=\"/music/a b.mp3\">a b.mp3</a></td>"));
    QCOMPARE(lines[4], QByteArray("<td nowrap>3.418 KBytes</td>"));
    QCOMPARE(lines[5], QByteArray("</tr>"));
    QCOMPARE(lines[6], QByteArray("</table>"));
    QCOMPARE(lines[7], QByteArray("</body></html>"));
}

void TestListing::pageShapes_data()
{
    QTest::addColumn<QList<ListingEntry>>("entries");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("folders only, no table")
        << QList<ListingEntry> {{"b", true, 0}, {"a", true, 0}}
        << QByteArray(
               "<html><body><b>Directories:</b><br><a href=\"/b\">b</a><br>\n<a href=\"/a\">a</a><br>\n"
               "</body></html>");
    QTest::newRow("files only, table right after the start")
        << QList<ListingEntry> {{"x", false, 0}}
        << QByteArray("<html><body><br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" "
                      "cellspacing=\"2\">\n<tr>\n<td width=\"100%\"><a href=\"/x\">x</a></td>\n"
                      "<td nowrap>0 KBytes</td>\n</tr>\n</table>\n</body></html>");
    QTest::newRow("enumeration order kept, folders first")
        << QList<ListingEntry> {{"z", false, 0}, {"m", true, 0}, {"a", false, 0}}
        << QByteArray("<html><body><b>Directories:</b><br><a href=\"/m\">m</a><br>\n<br><b>Files:</b><br>"
                      "<table width=\"100%\" border=\"1\" cellpadding=\"3\" cellspacing=\"2\">\n"
                      "<tr>\n<td width=\"100%\"><a href=\"/z\">z</a></td>\n<td nowrap>0 KBytes</td>\n</tr>\n"
                      "<tr>\n<td width=\"100%\"><a href=\"/a\">a</a></td>\n<td nowrap>0 KBytes</td>\n</tr>\n"
                      "</table>\n</body></html>");
    QTest::newRow("names unescaped")
        << QList<ListingEntry> {{"<b>&\"", true, 0}}
        << QByteArray(
               "<html><body><b>Directories:</b><br><a href=\"/<b>&\"\"><b>&\"</a><br>\n</body></html>");
}

void TestListing::pageShapes()
{
    QFETCH(QList<ListingEntry>, entries);
    QFETCH(QByteArray, expected);
    QCOMPARE(Listing::page("/", entries), expected);
}

void TestListing::links_data()
{
    QTest::addColumn<QByteArray>("requestPath");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("link");

    QTest::newRow("root") << QByteArray("/") << QByteArray("a.txt") << QByteArray("/a.txt");
    QTest::newRow("with trailing slash")
        << QByteArray("/music/") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("without trailing slash")
        << QByteArray("/music") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("without leading slash")
        << QByteArray("music") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("%20 decoded into a space")
        << QByteArray("/my%20music/") << QByteArray("a b") << QByteArray("/my music/a b");
    QTest::newRow("doubled slashes folded")
        << QByteArray("//music//") << QByteArray("x") << QByteArray("/music/x");
    QTest::newRow("deep") << QByteArray("/a/b/c/") << QByteArray("d") << QByteArray("/a/b/c/d");
}

void TestListing::links()
{
    QFETCH(QByteArray, requestPath);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, link);
    QCOMPARE(Listing::link(Listing::folderPath(requestPath), name), link);
    QVERIFY(Listing::page(requestPath, {{name, true, 0}}).contains("<a href=\"" + link + "\">"));
}

void TestListing::sizes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("zero") << qint64(0) << QByteArray("0");
    QTest::newRow("511 rounds down") << qint64(511) << QByteArray("0");
    QTest::newRow("512 rounds up") << qint64(512) << QByteArray("1");
    QTest::newRow("1535") << qint64(1535) << QByteArray("1");
    QTest::newRow("1536") << qint64(1536) << QByteArray("2");
    QTest::newRow("example") << qint64(3'500'000) << QByteArray("3.418");
    QTest::newRow("millions grouped") << qint64(1'024'000'000) << QByteArray("1.000.000");
    QTest::newRow("past 32 bits") << qint64(5'000'000'000'000LL) << QByteArray("4.882.812.500");
}

void TestListing::sizes()
{
    QFETCH(qint64, bytes);
    QFETCH(QByteArray, shown);
    GermanLocale german;
    QVERIFY(Listing::page("/", {{"f", false, bytes}}).contains("<td nowrap>" + shown + " KBytes</td>"));
}

namespace {

// A unix-domain socket file, one of the "system" entries.
void makeSocketFile(const QByteArray &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    ::close(fd);
}

QSet<QByteArray> linkedNames(const QByteArray &page)
{
    QSet<QByteArray> names;
    for (qsizetype at = page.indexOf("<a href=\""); at >= 0; at = page.indexOf("<a href=\"", at + 1)) {
        const qsizetype name = page.indexOf("\">", at) + 2;
        names.insert(page.mid(name, page.indexOf("</a>", name) - name));
    }
    return names;
}

} // namespace

void TestListing::realFolderListsOnlyServableEntries()
{
    TestServer tree;
    tree.makeFolder("sub");
    tree.makeFolder(".git");
    tree.writeFile("a.txt", "abc");
    tree.writeFile(".hidden", "x");
    tree.writeFile("sub/inner.txt", QByteArray(2000, 'i'));
    QVERIFY(::mkfifo(tree.pathBytes("fifo").constData(), 0600) == 0);
    makeSocketFile(tree.pathBytes("socket"));
    tree.writeFile("../outside.txt", "secret");
    QVERIFY(::symlink("../outside.txt", tree.pathBytes("link-out").constData()) == 0);
    QVERIFY(::symlink("a.txt", tree.pathBytes("link-in").constData()) == 0);
    QVERIFY(::symlink("sub", tree.pathBytes("link-sub").constData()) == 0);
    QVERIFY(::symlink(".hidden", tree.pathBytes("link-hidden").constData()) == 0);
    QVERIFY(::symlink("missing", tree.pathBytes("dangling").constData()) == 0);
    QVERIFY(::symlink("/", tree.pathBytes("link-root").constData()) == 0);

    const QByteArray page = BuildDirListing(tree.pathBytes(), "/");
    QCOMPARE(linkedNames(page), (QSet<QByteArray> {"sub", "a.txt", "link-in", "link-sub"}));
    QVERIFY(page.contains("<a href=\"/link-sub\">link-sub</a><br>\n"));
    QVERIFY(page.contains("<a href=\"/link-in\">link-in</a></td>\n<td nowrap>0 KBytes"));

    const QByteArray sub = BuildDirListing(tree.pathBytes(), "/sub");
    QCOMPARE(linkedNames(sub), QSet<QByteArray> {"inner.txt"});
    QVERIFY(sub.contains("<a href=\"/sub/inner.txt\">inner.txt</a></td>\n<td nowrap>2 KBytes"));
}

void TestListing::folderWithOnlyHiddenAndSystemEntriesIsEmpty()
{
    TestServer tree;
    tree.makeFolder("only");
    tree.writeFile("only/.profile", "x");
    tree.makeFolder("only/.cache");
    QVERIFY(::mkfifo(tree.pathBytes("only/pipe").constData(), 0600) == 0);
    const QByteArray page = BuildDirListing(tree.pathBytes(), "/only/");
    QCOMPARE(page, QByteArray("<html><body>This folder is empty.</body></html>"));
}

void TestListing::namesPassByteForByte()
{
    TestServer tree;
    tree.makeFolder("my music");
    const QByteArray latin1Name("caf\xE9 \xFF.txt");
    tree.writeFile("my music/" + latin1Name, QByteArray(512, 'x'));
    const QByteArray page = BuildDirListing(tree.pathBytes(), "/my%20music/");
    // The temporary folder's clean-up goes through text names and cannot spell this one.
    ::unlink(tree.pathBytes("my music/" + latin1Name).constData());
    QVERIFY(
        page.contains("<a href=\"/my music/" + latin1Name + "\">" + latin1Name + "</a></td>\n<td nowrap>1 "));
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
