// Nothing outside the served folder, nothing hidden and nothing special ever leaves the server.
#include "httptestsupport.h"
#include "openfilelimit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Contents that must never appear in any answer.
const QList<QByteArray> Secrets {"OUTSIDE-SECRET", "SIBLING-SECRET", "HIDDEN-SECRET", "GIT-SECRET"};

QByteArray served(const QByteArray &content)
{
    return answerHeader("*/*", content.size()) + content;
}

// Swaps a symbolic link between two targets as fast as it can: each swap is one
// atomic exchange with a spare link, so the link always exists.
class LinkSwapper
{
public:
    LinkSwapper(const QByteArray &link, const QByteArray &first, const QByteArray &second)
        : m_spare(link + ".spare")
        , m_ready(::symlink(first.constData(), link.constData()) == 0
                  && ::symlink(second.constData(), m_spare.constData()) == 0)
        , m_thread([this, link] {
            while (m_ready && !m_stop) {
                if (::renameat2(AT_FDCWD, link.constData(), AT_FDCWD, m_spare.constData(), RENAME_EXCHANGE)
                    == 0)
                    ++m_swaps;
            }
        })
    {
    }
    ~LinkSwapper()
    {
        m_stop = true;
        m_thread.join();
        ::unlink(m_spare.constData());
    }
    bool ready() const { return m_ready; }
    qint64 swaps() const { return m_swaps; }

private:
    QByteArray m_spare;
    bool m_ready;
    std::atomic<bool> m_stop {false};
    std::atomic<qint64> m_swaps {0};
    std::thread m_thread;
};

} // namespace

class TestHttpSecurity : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void requests_data();
    void requests();
    void listingShowsOnlyWhatIsServed_data();
    void listingShowsOnlyWhatIsServed();
    void floodsAreCutOffAndTheServerGoesOn();
    void swappedLinksNeverLeadOut_data();
    void swappedLinksNeverLeadOut();

private:
    std::unique_ptr<TestServer> m_server;
};

void TestHttpSecurity::initTestCase()
{
    OpenFileLimit::raiseToHardLimit();
    m_server = std::make_unique<TestServer>();
    const TestServer &tree = *m_server;
    // Beside the served folder "www": a folder "outside" and a sibling "www-sibling".
    QVERIFY(QDir(tree.base.path()).mkpath(u"outside"_s));
    QVERIFY(QDir(tree.base.path()).mkpath(u"www-sibling"_s));
    tree.writeFile("../outside/secret.txt", "OUTSIDE-SECRET");
    tree.writeFile("../www-sibling/secret.txt", "SIBLING-SECRET");
    tree.writeFile("pub.txt", "public");
    tree.writeFile("a b.txt", "spaced");
    tree.writeFile(".hidden.txt", "HIDDEN-SECRET");
    tree.makeFolder(".git");
    tree.writeFile(".git/config", "GIT-SECRET");
    tree.makeFolder("sub");
    tree.writeFile("sub/inner.txt", "inner");
    QVERIFY(::symlink("../outside/secret.txt", tree.pathBytes("link-out").constData()) == 0);
    QVERIFY(::symlink("../outside", tree.pathBytes("link-dir-out").constData()) == 0);
    QVERIFY(::symlink("/", tree.pathBytes("link-root").constData()) == 0);
    QVERIFY(::symlink(tree.pathBytes("../outside/secret.txt").constData(),
                      tree.pathBytes("link-absolute-out").constData())
            == 0);
    QVERIFY(::symlink("pub.txt", tree.pathBytes("link-in").constData()) == 0);
    QVERIFY(::symlink(".hidden.txt", tree.pathBytes("link-to-hidden").constData()) == 0);
    QVERIFY(::symlink(".git", tree.pathBytes("link-to-git").constData()) == 0);
    QVERIFY(::symlink("..", tree.pathBytes("sub/up").constData()) == 0);
    QVERIFY(::symlink("../..", tree.pathBytes("sub/up-out").constData()) == 0);
    QVERIFY(::mkfifo(tree.pathBytes("fifo").constData(), 0600) == 0);
    QVERIFY(::symlink("/dev/zero", tree.pathBytes("device").constData()) == 0);
}

void TestHttpSecurity::cleanupTestCase()
{
    m_server.reset();
}

void TestHttpSecurity::requests_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");

    const auto refused
        = [](const char *name, const QByteArray &path) { QTest::newRow(name) << path << NotFoundAnswer; };
    const auto allowed = [](const char *name, const QByteArray &path, const QByteArray &content) {
        QTest::newRow(name) << path << served(content);
    };

    allowed("plain", "/pub.txt", "public");
    allowed("doubled leading separator", "//pub.txt", "public");
    allowed("doubled inner separator", "/sub//inner.txt", "inner");
    allowed("%20", "/a%20b.txt", "spaced");
    allowed("link inside the tree", "/link-in", "public");
    allowed("link back to the root", "/sub/up/pub.txt", "public");
    allowed("no leading slash stays in the root", "pub.txt", "public");
    allowed("encoded letters", "/p%75%62.txt", "public");
    allowed("encoded slash between names", "/sub%2Finner.txt", "inner");

    // Every path the gate refuses is a row of its own table (tst_request); these show that a refusal,
    // also of raw bytes in the request line, is answered 404 with nothing of the tree behind it.
    refused("parent", "/../outside/secret.txt");
    refused("encoded parent", "/%2e%2e/outside/secret.txt");
    refused("hidden file", "/.hidden.txt");
    refused("hidden folder", "/.git/config");
    refused("NUL", QByteArray("/pub.txt\0", 9));
    refused("line feed", "/pub\n.txt");
    // Names the gate lets pass, which lead nowhere outside the served folder.
    refused("double-encoded parent", "/%252e%252e/outside/secret.txt");
    refused("overlong UTF-8 dots", "/%c0%ae%c0%ae/outside/secret.txt");
    refused("overlong UTF-8 slash", "/..%c0%afoutside%c0%afsecret.txt");
    refused("invalid UTF-8", "/%ff%fe%fd");
    refused("lone percent", "/%");
    refused("not an escape", "/%zz");
    refused("encoded star is a name", "/pub%2A");
    refused("%20 before dots", "/%20../outside/secret.txt");
    refused("sibling through a missing slash", "-sibling/secret.txt");
    refused("absolute path", "/etc/passwd");
    refused("absolute path twice", "//etc//passwd");
    refused("drive letter", "C:\\Windows\\win.ini");
    // What only the tree decides: where links lead, and what kind of entry a name is.
    refused("link out of the tree", "/link-out");
    refused("absolute link out of the tree", "/link-absolute-out");
    refused("folder link out of the tree", "/link-dir-out/secret.txt");
    refused("link to the file system root", "/link-root/etc/passwd");
    refused("up-link out of the tree", "/sub/up-out/outside/secret.txt");
    refused("hidden through a link", "/link-to-hidden");
    refused("hidden folder through a link", "/link-to-git/config");
    refused("hidden behind a link to the root", "/sub/up/.hidden.txt");
    refused("fifo", "/fifo");
    refused("device", "/device");
    refused("file with trailing separator", "/pub.txt/");
    // Longer than any path the system can open: closed without an answer.
    QTest::newRow("long path") << "/" + QByteArray(60'000, 'a') << QByteArray();
    QTest::newRow("long path of dots") << "/" + QByteArray(30'000, '.') << QByteArray();
    refused("long path of separators", QByteArray(4094, '/') + "..");
}

void TestHttpSecurity::requests()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    const Response response = exchange(m_server->port(), "GET " + path + " HTTP/1.0\r\n\r\n");
    QVERIFY(response.closedByServer);
    for (const QByteArray &secret : Secrets)
        QVERIFY2(!response.bytes.contains(secret), secret.constData());
    QCOMPARE(response.bytes, expected);
}

void TestHttpSecurity::listingShowsOnlyWhatIsServed_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QList<QByteArray>>("shown");
    QTest::addColumn<QList<QByteArray>>("notShown");

    QTest::newRow("root") << QByteArray("/")
                          << QList<QByteArray> {"/pub.txt\"", "/a b.txt\"", "/sub\"", "/link-in\""}
                          << QList<QByteArray> {"hidden",       ".git",      "link-out",
                                                "link-dir-out", "link-root", "link-absolute-out",
                                                "link-to",      "fifo",      "device"};
    QTest::newRow("sub") << QByteArray("/sub/") << QList<QByteArray> {"/sub/inner.txt\"", "/sub/up\""}
                         << QList<QByteArray> {"up-out"};
    QTest::newRow("through an up-link") << QByteArray("/sub/up/") << QList<QByteArray> {"/sub/up/pub.txt\""}
                                        << QList<QByteArray> {"hidden", "link-out", "fifo"};
    QTest::newRow("hidden folder") << QByteArray("/.git/") << QList<QByteArray> {}
                                   << QList<QByteArray> {"config"};
}

void TestHttpSecurity::listingShowsOnlyWhatIsServed()
{
    QFETCH(QByteArray, path);
    QFETCH(QList<QByteArray>, shown);
    QFETCH(QList<QByteArray>, notShown);
    const Response response = exchange(m_server->port(), "GET " + path + " HTTP/1.0\n\n");
    for (const QByteArray &name : shown)
        QVERIFY2(response.body().contains("<a href=\"" + name), name.constData());
    for (const QByteArray &name : notShown)
        QVERIFY2(!response.bytes.contains(name), name.constData());
    if (shown.isEmpty())
        QCOMPARE(response.bytes, NotFoundAnswer);
}

void TestHttpSecurity::floodsAreCutOffAndTheServerGoesOn()
{
    // A request that never ends and one with a line far too long: both cut off, no answer.
    for (const QByteArray &flood :
         {QByteArray(8 * 1024 * 1024, 'G'), "GET /" + QByteArray(4 * 1024 * 1024, 'a')}) {
        const Response response = exchange(m_server->port(), flood);
        QVERIFY(response.closedByServer);
        QVERIFY(response.bytes.isEmpty());
    }
    QCOMPARE(exchange(m_server->port(), "GET /pub.txt HTTP/1.0\n\n").bytes, served("public"));
}

void TestHttpSecurity::swappedLinksNeverLeadOut_data()
{
    QTest::addColumn<QByteArray>("inside");
    QTest::addColumn<QByteArray>("other");
    QTest::addColumn<QList<QByteArray>>("paths");
    QTest::addColumn<QByteArray>("fromInside"); // shows that an answer came from inside
    QTest::addColumn<QList<QByteArray>>("forbidden");

    const QList<QByteArray> folderPaths {"/swap/", "/swap/secret.txt", "/swap/config", "/swap/inner.txt"};
    const QList<QByteArray> folderForbidden = Secrets + QList<QByteArray> {"secret.txt", "config"};
    QTest::newRow("file and a file outside")
        << QByteArray("pub.txt") << QByteArray("../outside/secret.txt") << QList<QByteArray> {"/swap"}
        << QByteArray("public") << Secrets;
    QTest::newRow("file and an absolute link out")
        << QByteArray("pub.txt") << m_server->pathBytes("../outside/secret.txt")
        << QList<QByteArray> {"/swap"} << QByteArray("public") << Secrets;
    QTest::newRow("file and a hidden file") << QByteArray("pub.txt") << QByteArray(".hidden.txt")
                                            << QList<QByteArray> {"/swap"} << QByteArray("public") << Secrets;
    QTest::newRow("folder and a folder outside") << QByteArray("sub") << QByteArray("../outside")
                                                 << folderPaths << QByteArray("inner") << folderForbidden;
    QTest::newRow("folder and a hidden folder")
        << QByteArray("sub") << QByteArray(".git") << folderPaths << QByteArray("inner") << folderForbidden;
}

void TestHttpSecurity::swappedLinksNeverLeadOut()
{
    QFETCH(QByteArray, inside);
    QFETCH(QByteArray, other);
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QByteArray, fromInside);
    QFETCH(QList<QByteArray>, forbidden);
    // Long enough for thousands of swaps, also on a busy machine.
    constexpr int MinimumRaceMs = 2000;
    constexpr int MaximumRaceMs = 60'000;
    constexpr qint64 MinimumSwaps = 5000;
    const QByteArray link = m_server->pathBytes("swap");
    int answers = 0;
    int insideAnswers = 0;
    QMap<QByteArray, int> leaked;
    qint64 swaps = 0;
    {
        LinkSwapper swapper(link, inside, other);
        QVERIFY(swapper.ready());
        QElapsedTimer clock;
        clock.start();
        while ((clock.elapsed() < MinimumRaceMs || swapper.swaps() < MinimumSwaps)
               && clock.elapsed() < MaximumRaceMs) {
            const Response response
                = exchange(m_server->port(), "GET " + paths[answers % paths.size()] + " HTTP/1.0\n\n");
            ++answers;
            insideAnswers += response.body().contains(fromInside) ? 1 : 0;
            for (const QByteArray &text : forbidden)
                leaked[text] += response.bytes.contains(text) ? 1 : 0;
        }
        swaps = swapper.swaps();
    }
    ::unlink(link.constData());
    QStringList leaks;
    for (auto it = leaked.cbegin(); it != leaked.cend(); ++it)
        leaks.append(QString::fromLatin1(it.key()) + u": "_s + QString::number(it.value()));
    qInfo("%d answers during %lld swaps, %d from inside; answers holding %s", answers, swaps, insideAnswers,
          qPrintable(leaks.join(u", "_s)));
    for (auto it = leaked.cbegin(); it != leaked.cend(); ++it)
        QVERIFY2(
            it.value() == 0,
            qPrintable(QString::number(it.value()) + u" answers held "_s + QString::fromLatin1(it.key())));
    QVERIFY(swaps >= MinimumSwaps);
    QVERIFY(insideAnswers > 0);
}

QTEST_GUILESS_MAIN(TestHttpSecurity)
#include "tst_httpsecurity.moc"
