// The listing page: exact bytes, name and link forms, sizes in every locale, real folders, and big ones.
#include "httptestsupport.h"
#include "listing.h"
#include "localeformat.h"
#include "names.h"
#include "openfilelimit.h"
#include "pinnedlocale.h"
#include "processusage.h"
#include "request.h"
#include "servedtree.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

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

// The shown names of a page, in its order.
QList<QByteArray> namesOnPage(const QByteArray &page)
{
    QList<QByteArray> names;
    for (qsizetype at = page.indexOf("<a href=\""); at >= 0; at = page.indexOf("<a href=\"", at + 1)) {
        const qsizetype name = page.indexOf("\">", at) + 2;
        names.append(page.mid(name, page.indexOf("</a>", name) - name));
    }
    return names;
}

QSet<QByteArray> shownNameSet(const QByteArray &page)
{
    const QList<QByteArray> names = namesOnPage(page);
    return {names.cbegin(), names.cend()};
}

// Empty files named "<prefix><number>" in a folder of the served tree.
void makeManyFiles(const TestServer &tree, const QByteArray &folder, const QByteArray &prefix, int count)
{
    tree.makeFolder(folder);
    for (int i = 0; i < count; ++i) {
        const QByteArray path = tree.pathBytes(folder + '/' + prefix + QByteArray::number(i));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY2(fd >= 0, path.constData());
        ::close(fd);
    }
}

// A client that sends its request and then never reads, with a small receive buffer.
int nonReadingClient(quint16 port, const QByteArray &request)
{
    constexpr int SmallWindow = 4096;
    const int fd = loopbackClient(port, SmallWindow);
    if (fd >= 0 && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

class TestListing : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void emptyFolderPage();
    void musicExamplePage();
    void pageShapes_data();
    void pageShapes();
    void links_data();
    void links();
    void shownNames_data();
    void shownNames();
    void sizes_data();
    void sizes();
    void realFolderListsOnlyServableEntries();
    void folderWithOnlyHiddenAndSystemEntriesIsEmpty();
    void realNamesAreShownAndLinkedInPlainAscii();
    void bigFolderIsListedQuickly();
    void eventsRunWhileABigPageIsBuilt();
    void clientsThatDoNotReadShareOnePage();
    void clientsThatLeaveDropTheirPagesUnbuilt();
    void aDeepFolderWaitsWithOneDescriptor();
};

void TestListing::initTestCase()
{
    OpenFileLimit::raiseToHardLimit();
}

void TestListing::emptyFolderPage()
{
    const QByteArray page = Listing::page("/", {}, '.');
    QCOMPARE(page, EmptyPage);
    QCOMPARE(page.size(), 47);
}

void TestListing::musicExamplePage()
{
    const QByteArray page = Listing::page("/music/", {{"live", true, 0}, {"a b.mp3", false, 3'500'000}}, '.');
    const QList<QByteArray> lines = page.split('\n');
    QCOMPARE(lines.size(), 8);
    QCOMPARE(page.count('\n'), 7);
    QCOMPARE(page.size(), 277);
    QCOMPARE(lines[0], QByteArray("<html><body><b>Directories:</b><br><a href=\"/music/live\">live</a><br>"));
    QCOMPARE(lines[1] + '\n', FileTableStart);
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
    QTest::newRow("files only, table right after the start") << QList<ListingEntry> {{"x", false, 0}}
                                                             << "<html><body>" + FileTableStart
            + "<tr>\n<td width=\"100%\"><a href=\"/x\">x</a></td>\n<td nowrap>0 KBytes</td>\n</tr>\n"
              "</table>\n</body></html>";
    QTest::newRow("enumeration order kept, folders first")
        << QList<ListingEntry> {{"z", false, 0}, {"m", true, 0}, {"a", false, 0}}
        << "<html><body><b>Directories:</b><br><a href=\"/m\">m</a><br>\n" + FileTableStart
            + "<tr>\n<td width=\"100%\"><a href=\"/z\">z</a></td>\n<td nowrap>0 KBytes</td>\n</tr>\n"
              "<tr>\n<td width=\"100%\"><a href=\"/a\">a</a></td>\n<td nowrap>0 KBytes</td>\n</tr>\n"
              "</table>\n</body></html>";
    QTest::newRow("markup in names is only text")
        << QList<ListingEntry> {{"<b>&\"", true, 0}}
        << QByteArray("<html><body><b>Directories:</b><br><a href=\"/<b>%26%22\">&#60;b>&#38;\"</a>"
                      "<br>\n</body></html>");
}

void TestListing::pageShapes()
{
    QFETCH(QList<ListingEntry>, entries);
    QFETCH(QByteArray, expected);
    QCOMPARE(Listing::page("/", entries, '.'), expected);
}

void TestListing::links_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("link");

    QTest::newRow("root") << QByteArray("/") << QByteArray("a.txt") << QByteArray("/a.txt");
    QTest::newRow("with trailing slash")
        << QByteArray("/music/") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("without trailing slash")
        << QByteArray("/music") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("without leading slash")
        << QByteArray("music") << QByteArray("live") << QByteArray("/music/live");
    QTest::newRow("spaces stay") << QByteArray("/my music/") << QByteArray("a b")
                                 << QByteArray("/my music/a b");
    QTest::newRow("doubled slashes folded")
        << QByteArray("//music//") << QByteArray("x") << QByteArray("/music/x");
    QTest::newRow("deep") << QByteArray("/a/b/c/") << QByteArray("d") << QByteArray("/a/b/c/d");
    QTest::newRow("plain ASCII punctuation stays")
        << QByteArray("/") << QByteArray("a-b_c.d~e!$'()+,;=:@") << QByteArray("/a-b_c.d~e!$'()+,;=:@");
    QTest::newRow("UTF-8 folder and name")
        << QByteArray("/Gleispl\xC3\xA4ne") << QByteArray("M\xC3\xA4rz.txt")
        << QByteArray("/Gleispl%C3%A4ne/M%C3%A4rz.txt");
    QTest::newRow("percent is encoded")
        << QByteArray("/") << QByteArray("a%20b.txt") << QByteArray("/a%2520b.txt");
    QTest::newRow("fragment and query marks")
        << QByteArray("/") << QByteArray("#1?.txt") << QByteArray("/%231%3F.txt");
    QTest::newRow("star") << QByteArray("/") << QByteArray("a*") << QByteArray("/a%2A");
    QTest::newRow("brackets, braces and apostrophe stay")
        << QByteArray("/") << QByteArray("Peter's a[1]{y}.txt") << QByteArray("/Peter's a[1]{y}.txt");
    QTest::newRow("backslash, which browsers turn into a slash")
        << QByteArray("/") << QByteArray("a\\b") << QByteArray("/a%5Cb");
    QTest::newRow("markup") << QByteArray("/") << QByteArray("<\"&>`^|") << QByteArray("/<%22%26>`^|");
    QTest::newRow("Latin-1 byte") << QByteArray("/") << QByteArray("caf\xE9") << QByteArray("/caf%E9");
}

void TestListing::links()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, link);
    QVERIFY(Listing::page(folder, {{name, true, 0}}, '.').contains("<a href=\"" + link + "\">"));
    // What the link asks for leads back to exactly this name in this folder.
    const std::optional<Request::ServedPath> asked = Request::servedPathFor(link);
    QVERIFY(asked);
    QCOMPARE(asked->segments.last(), name);
}

void TestListing::shownNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("plain ASCII stays") << QByteArray("a b-c_d.e") << QByteArray("a b-c_d.e");
    QTest::newRow("other printable ASCII stays")
        << QByteArray("#%()*+,/:;=?@[\\]^`{|}~!$") << QByteArray("#%()*+,/:;=?@[\\]^`{|}~!$");
    QTest::newRow("markup characters")
        << QByteArray("<svg onload=alert(1)>.txt") << QByteArray("&#60;svg onload=alert(1)>.txt");
    QTest::newRow("quotes and ampersand") << QByteArray("a&b\"c'd") << QByteArray("a&#38;b\"c'd");
    QTest::newRow("umlauts in UTF-8")
        << QByteArray("Lokliste M\xC3\xA4rz.txt") << QByteArray("Lokliste M&#228;rz.txt");
    QTest::newRow("capital umlaut") << QByteArray("\xC3\x9C"
                                                  "bersicht")
                                    << QByteArray("&#220;bersicht");
    QTest::newRow("beyond 16 bits") << QByteArray("\xF0\x9F\x9A\x82.txt") << QByteArray("&#128642;.txt");
    QTest::newRow("Latin-1 byte as code page 1252") << QByteArray("caf\xE9") << QByteArray("caf&#233;");
    QTest::newRow("code page 1252 euro sign") << QByteArray("\x80") << QByteArray("&#8364;");
    QTest::newRow("byte code page 1252 leaves undefined") << QByteArray("\x81") << QByteArray("&#65533;");
    QTest::newRow("overlong dot as single bytes") << QByteArray("\xC0\xAE") << QByteArray("&#192;&#174;");
    QTest::newRow("surrogate as single bytes")
        << QByteArray("\xED\xA0\x80") << QByteArray("&#237;&#160;&#8364;");
    QTest::newRow("cut sequence") << QByteArray("a\xC3") << QByteArray("a&#195;");
}

void TestListing::shownNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, shown);
    QCOMPARE(Names::shownName(name), shown);
}

void TestListing::sizes_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QByteArray>("shown");

    const QString german = u"de_DE"_s;
    QTest::newRow("zero") << german << qint64(0) << QByteArray("0");
    QTest::newRow("511 rounds down") << german << qint64(511) << QByteArray("0");
    QTest::newRow("512 rounds up") << german << qint64(512) << QByteArray("1");
    QTest::newRow("1535") << german << qint64(1535) << QByteArray("1");
    QTest::newRow("1536") << german << qint64(1536) << QByteArray("2");
    QTest::newRow("example") << german << qint64(3'500'000) << QByteArray("3.418");
    QTest::newRow("three digits ungrouped") << german << qint64(999 * 1024) << QByteArray("999");
    QTest::newRow("millions grouped") << german << qint64(1'024'000'000) << QByteArray("1.000.000");
    QTest::newRow("past 32 bits") << german << qint64(5'000'000'000'000LL) << QByteArray("4.882.812.500");
    QTest::newRow("Swiss apostrophe") << u"de_CH"_s << qint64(3'500'000) << QByteArray("3'418");
    QTest::newRow("Spanish groups four digits too") << u"es_ES"_s << qint64(3'500'000) << QByteArray("3.418");
    QTest::newRow("Indian groups in threes")
        << u"en_IN"_s << qint64(3'500'000'000LL) << QByteArray("3,417,969");
    QTest::newRow("French narrow space as no-break space") << u"fr_FR"_s << qint64(3'500'000)
                                                           << QByteArray("3\xA0"
                                                                         "418");
    QTest::newRow("Afrikaans no-break space") << u"af_ZA"_s << qint64(3'500'000)
                                              << QByteArray("3\xA0"
                                                            "418");
    QTest::newRow("American comma") << u"en_US"_s << qint64(3'500'000) << QByteArray("3,418");
    QTest::newRow("Arabic digits and separator") << u"ar_EG"_s << qint64(3'500'000) << QByteArray("3,418");
}

void TestListing::sizes()
{
    QFETCH(QString, locale);
    QFETCH(qint64, bytes);
    QFETCH(QByteArray, shown);
    const PinnedLocale pinned {QLocale(locale)};
    const QByteArray page = Listing::page("/", {{"f", false, bytes}}, LocaleFormat::groupSeparatorByte());
    QVERIFY2(page.contains("<td nowrap>" + shown + " KBytes</td>"), page.constData());
}

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
    QVERIFY(::symlink("link-loop", tree.pathBytes("link-loop").constData()) == 0);
    QVERIFY(::symlink(tree.pathBytes("sub").constData(), tree.pathBytes("link-absolute-in").constData())
            == 0);

    const QByteArray page = exchange(tree.port(), getRequest("/")).body();
    QCOMPARE(shownNameSet(page),
             (QSet<QByteArray> {"sub", "a.txt", "link-in", "link-sub", "link-absolute-in"}));
    QVERIFY(page.contains("<a href=\"/link-sub\">link-sub</a><br>\n"));
    QVERIFY(page.contains("<a href=\"/link-in\">link-in</a></td>\n<td nowrap>0 KBytes"));

    const QByteArray sub = exchange(tree.port(), getRequest("/sub")).body();
    QCOMPARE(shownNameSet(sub), QSet<QByteArray> {"inner.txt"});
    QVERIFY(sub.contains("<a href=\"/sub/inner.txt\">inner.txt</a></td>\n<td nowrap>2 KBytes"));
    // A folder reached through a link is listed under the path that was asked for.
    QVERIFY(
        exchange(tree.port(), getRequest("/link-sub/")).body().contains("<a href=\"/link-sub/inner.txt\">"));
}

void TestListing::folderWithOnlyHiddenAndSystemEntriesIsEmpty()
{
    TestServer tree;
    tree.makeFolder("only");
    tree.writeFile("only/.profile", "x");
    tree.makeFolder("only/.cache");
    QVERIFY(::mkfifo(tree.pathBytes("only/pipe").constData(), 0600) == 0);
    QCOMPARE(exchange(tree.port(), getRequest("/only/")).body(), EmptyPage);
}

void TestListing::realNamesAreShownAndLinkedInPlainAscii()
{
    TestServer tree;
    tree.makeFolder("my music");
    const QByteArray latin1Name("caf\xE9 \xFF.txt");
    tree.writeFile("my music/" + latin1Name, QByteArray(512, 'x'));
    tree.writeFile("my music/bell\x07.txt", "x");
    tree.writeFile("my music/tab\tname", "x");
    tree.writeFile("my music/a\\..\\b", "x");
    tree.writeFile("my music/M\xC3\xA4rz <1>.txt", "x");
    const QByteArray page = exchange(tree.port(), getRequest("/my%20music/")).body();
    // The temporary folder's clean-up goes through text names and cannot spell these.
    for (const QByteArray &name : {latin1Name, QByteArray("bell\x07.txt"), QByteArray("tab\tname")})
        ::unlink(tree.pathBytes("my music/" + name).constData());

    QVERIFY(
        page.contains("<a href=\"/my music/caf%E9 %FF.txt\">caf&#233; &#255;.txt</a></td>\n<td nowrap>1 "));
    QVERIFY(page.contains("<a href=\"/my music/M%C3%A4rz <1>.txt\">M&#228;rz &#60;1>.txt</a>"));
    // Names the server would refuse are not offered.
    QCOMPARE(namesOnPage(page).size(), 2);
    for (const char c : page)
        QVERIFY2(uchar(c) < 0x80 && (uchar(c) >= 0x20 || c == '\n'), page.constData());
}

void TestListing::bigFolderIsListedQuickly()
{
    constexpr int Entries = 100'000;
    TestServer tree;
    makeManyFiles(tree, "big", "Lokomotive-Baureihe-", Entries);
    // The floor: one look at every entry, which no listing can do without.
    const qint64 startFloor = cpuMicroseconds();
    DIR *dir = ::opendir(tree.pathBytes("big").constData());
    QVERIFY(dir);
    qint64 total = 0;
    while (const dirent *entry = ::readdir(dir)) {
        struct stat info
        {
        };
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            total += info.st_size;
    }
    ::closedir(dir);
    const qint64 floor = cpuMicroseconds() - startFloor;
    const qint64 startListing = cpuMicroseconds();
    const ServedTree::Target big = ServedTree::open(ServedTree::openRoot(tree.pathBytes()), {"big"}, true);
    const QByteArray page = Listing::page("/big", Listing::servedEntries(*big.inside), '.');
    const qint64 listing = cpuMicroseconds() - startListing;
    QCOMPARE(page.count("<tr>"), Entries);
    qInfo("%d entries listed in %lld ms of processor time; looking at each entry alone takes %lld ms",
          Entries, listing / 1000, floor / 1000);
#if !defined(__SANITIZE_ADDRESS__)
    // Everything besides the look at each entry costs less than that look itself.
    QVERIFY2(listing < 2 * floor, qPrintable(QString::number(listing)));
#endif
}

void TestListing::eventsRunWhileABigPageIsBuilt()
{
    constexpr int Entries = 100'000;
    TestServer server;
    makeManyFiles(server, "big", "Lokomotive-Baureihe-", Entries);
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    connect(&ticker, &QTimer::timeout, this, [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
    Client client(server.port());
    QVERIFY(client.waitConnected());
    sinceTick.start();
    ticker.start(1);
    client.send(getRequest("/big/"));
    QVERIFY(pumpUntil([&] { return client.received.contains("\n\n"); }));
    ticker.stop();
    qInfo("longest pause of the event loop while the page was built: %lld ms", longestGap);
    QVERIFY(client.received.startsWith("HTTP/1.0 200 OK\n"));
    QVERIFY2(longestGap < 250, qPrintable(QString::number(longestGap)));
}

void TestListing::clientsThatDoNotReadShareOnePage()
{
    constexpr int Entries = 30'000;
    constexpr int Clients = 100;
    TestServer server;
    // Names of the length that makes the page about 4.6 MB.
    makeManyFiles(server, "big", "Lokomotive-Baureihe-Messfahrt-", Entries);
    const QByteArray request = getRequest("/big/");
    // One full answer first, so what every process grows by once is not counted.
    const Response first = exchange(server.port(), request);
    QVERIFY(first.body().size() > 4'000'000);
    const qint64 before = residentBytes();

    QList<int> clients;
    for (int i = 0; i < Clients; ++i) {
        const int fd = nonReadingClient(server.port(), request);
        QVERIFY(fd >= 0);
        clients.append(fd);
        pumpFor(1);
    }
    const auto answering = [&] {
        int count = 0;
        for (const ConnSlot &slot : server.server.ConnSlots())
            count += slot.FileNr == -1 && slot.ResponseSize > 0 && slot.SentBytes > 0 ? 1 : 0;
        return count;
    };
    const bool allAnswering = pumpUntil([&] { return answering() == Clients; }, 60'000);
    pumpFor(200);
    const qint64 grown = residentBytes() - before;
    QSet<const char *> pages;
    for (const ConnSlot &slot : server.server.ConnSlots()) {
        if (slot.FileNr == -1)
            pages.insert(slot.PageText.constData());
    }
    for (const int fd : clients)
        ::close(fd);
    QVERIFY2(allAnswering, qPrintable(QString::number(answering())));
    qInfo("%d clients that do not read hold %lld KiB more, in %lld page copies", Clients, grown / 1024,
          qint64(pages.size()));
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory aside for a while, so there the size says little.
    constexpr qint64 Allowed = 64 * 1024 * 1024;
    QVERIFY2(grown < Allowed, qPrintable(QString::number(grown)));
#endif
    QCOMPARE(pages.size(), 1);
    QVERIFY(pumpUntil([&] { return server.connectedSlots() == 0; }));
}

QTEST_GUILESS_MAIN(TestListing)
void TestListing::clientsThatLeaveDropTheirPagesUnbuilt()
{
    constexpr int Entries = 20'000;
    constexpr int Clients = 60;
    TestServer server;
    makeManyFiles(server, "big", "Lokomotive-Baureihe-", Entries);
    // Each link names the folder under a path of its own, so each asks for a build of its own.
    for (int i = 0; i < Clients; ++i)
        QVERIFY(::symlink("big", server.pathBytes("link" + QByteArray::number(i)).constData()) == 0);
    const int before = openFileCount();
    const auto pagePending = [&] {
        for (const ConnSlot &slot : server.server.ConnSlots()) {
            if (slot.FileNr == -1)
                return true;
        }
        return false;
    };
    for (int i = 0; i < Clients; ++i) {
        Client client(server.port());
        QVERIFY(client.waitConnected());
        client.send(getRequest("/link" + QByteArray::number(i) + '/'));
        QVERIFY(pumpUntil(pagePending));
        client.reset();
        QVERIFY(pumpUntil([&] { return server.connectedSlots() == 0; }));
    }
    // Only the build that runs may still hold the served root, the folder and its reading
    // position open (and the build thread has one descriptor of its own); none waits its turn
    // for a page that nobody reads.
    constexpr int RunningBuild = 4;
    const int held = openFileCount() - before;
    QVERIFY2(held <= RunningBuild, qPrintable(QString::number(held)));
}

void TestListing::aDeepFolderWaitsWithOneDescriptor()
{
    const QList<QByteArray> names(40, "d");
    TestServer tree;
    tree.makeFolder(names.join('/'));
    tree.writeFile("d/x.txt", "x");
    // Climbs back to the first level by descriptor, through every folder it was reached by.
    const QByteArray up = QByteArray("../").repeated(names.size() - 1) + "x.txt";
    QVERIFY(::symlink(up.constData(), tree.pathBytes(names.join('/') + "/up").constData()) == 0);
    const int before = openFileCount();
    const ServedTree::Target deep = ServedTree::open(ServedTree::openRoot(tree.pathBytes()), names, true);
    QCOMPARE(openFileCount() - before, 1); // what a listing holds while it waits for its turn
    const QList<ListingEntry> entries = Listing::servedEntries(*deep.inside);
    QVERIFY(entries.size() == 1 && entries[0].name == "up");
}

#include "tst_listing.moc"
