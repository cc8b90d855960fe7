// The request decisions: pattern, path, the gate to the disk, content types and header bytes.
#include "request.h"
#include "responseheader.h"

#include <QTest>

class TestRequest : public QObject
{
    Q_OBJECT
private slots:
    void pattern_data();
    void pattern();
    void patternResumesWherePartsJoin();
    void path_data();
    void path();
    void localPath_data();
    void localPath();
    void contentType_data();
    void contentType();
    void headers_data();
    void headers();
};

void TestRequest::pattern_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("matches");

    QTest::newRow("request line") << QByteArray("GET / HTTP/1.0\n") << true;
    QTest::newRow("no line end") << QByteArray("GET / HTTP/1.0") << true;
    QTest::newRow("version 1.1 with header") << QByteArray("GET /a HTTP/1.1\r\nHost: x\r\n\r\n") << true;
    QTest::newRow("empty path still matches") << QByteArray("GET  HTTP/1.0") << true;
    QTest::newRow("nothing after the mark") << QByteArray("GET / HTTP/1.") << false;
    QTest::newRow("mark cut short") << QByteArray("GET / HTTP/") << false;
    QTest::newRow("lower-case method") << QByteArray("get / HTTP/1.0\n") << false;
    QTest::newRow("HEAD") << QByteArray("HEAD / HTTP/1.0\n") << false;
    QTest::newRow("space belongs to the method") << QByteArray("GET HTTP/1.0\n") << false;
    QTest::newRow("leading byte") << QByteArray(" GET / HTTP/1.0\n") << false;
    QTest::newRow("version 2") << QByteArray("GET / HTTP/2.0\n") << false;
    QTest::newRow("line breaks inside") << QByteArray("GET /a\nb HTTP/1.0") << true;
    QTest::newRow("later mark with a character") << QByteArray("GET / HTTP/1. HTTP/1.1") << true;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestRequest::pattern()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, matches);
    QCOMPARE(Request::matchesPattern(received), matches);
}

void TestRequest::patternResumesWherePartsJoin()
{
    // Collected piece by piece, the request must match exactly when it would whole.
    const QByteArray request("GET /music/a.mp3 HTTP/1.0\r\n\r\n");
    for (qsizetype cut = 1; cut < request.size(); ++cut) {
        const QByteArray first = request.left(cut);
        if (Request::matchesPattern(first))
            continue;
        for (qsizetype end = cut + 1; end <= request.size(); ++end) {
            const QByteArray joined = request.left(end);
            QCOMPARE(Request::matchesPattern(joined, cut), Request::matchesPattern(joined));
        }
    }
}

void TestRequest::path_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("plain") << QByteArray("GET /x HTTP/1.0\n") << QByteArray("/x");
    QTest::newRow("empty") << QByteArray("GET  HTTP/1.0\n") << QByteArray();
    QTest::newRow("escapes kept") << QByteArray("GET /my%20file.txt HTTP/1.1\r\n")
                                  << QByteArray("/my%20file.txt");
    QTest::newRow("first version mark ends it")
        << QByteArray("GET /a HTTP/1.0 HTTP/1.1\n") << QByteArray("/a");
    QTest::newRow("spaces inside") << QByteArray("GET /a b HTTP/1.0\n") << QByteArray("/a b");
}

void TestRequest::path()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, path);
    QCOMPARE(Request::pathOf(request), path);
}

void TestRequest::localPath_data()
{
    QTest::addColumn<QByteArray>("requestPath");
    QTest::addColumn<bool>("served");
    QTest::addColumn<QByteArray>("local");

    const auto served = [](const char *name, const QByteArray &path, const QByteArray &local) {
        QTest::newRow(name) << path << true << local;
    };
    const auto refused = [](const char *name, const QByteArray &path) {
        QTest::newRow(name) << path << false << QByteArray();
    };

    served("root", "/", "/srv/web/");
    served("file", "/a.txt", "/srv/web/a.txt");
    served("nested", "/music/live/a.mp3", "/srv/web/music/live/a.mp3");
    served("%20 decoded", "/my%20music/", "/srv/web/my music/");
    served("%2F stays literal", "/a%2Fb", "/srv/web/a%2Fb");
    served("%2e stays literal", "/%2e%2e/x", "/srv/web/%2e%2e/x");
    served("doubled separator", "/a//b", "/srv/web/a/b");
    served("tripled separator folded once", "/a///b", "/srv/web/a//b");
    served("leading doubled separator", "//a", "/srv/web//a");
    served("no leading slash stays below the root", "-sibling/x", "/srv/web/-sibling/x");
    served("drive letter is a name", "C:\\x", "/srv/web/C:\\x");
    served("absolute URL is a name", "http://h/x", "/srv/web/http:/h/x");
    served("dots inside a name", "/a..b/c...d", "/srv/web/a..b/c...d");
    served("space before dots", "/ ../x", "/srv/web/ ../x");
    served("bytes beyond ASCII pass", "/caf\xE9", "/srv/web/caf\xE9");

    refused("empty", "");
    refused("star", "/*");
    refused("star inside", "/a*b");
    refused("question mark", "/pub.tx?");
    refused("query", "/index.html?x=1");
    refused("parent", "/..");
    refused("parent then name", "/../x");
    refused("parent with backslash", "/..\\x");
    refused("parent between backslashes", "/a\\..\\b");
    refused("parent at the end", "/a/..");
    refused("parent with trailing separator", "/a/../");
    refused("parent without slash", "..");
    refused("parent behind doubled separators", "//..//x");
    refused("current", "/./x");
    refused("current alone", "/.");
    refused("current with backslash", "\\.\\x");
    refused("hidden file", "/.hidden");
    refused("hidden folder on the way", "/a/.git/config");
    refused("hidden behind backslash", "/a\\.git");
    refused("parent with %20", "/..%20/x");
    refused("NUL", QByteArray("/a\0b", 4));
    refused("NUL before an extension", QByteArray("/pub.txt\0.jpg", 13));
    refused("line feed", "/a\nb");
    refused("carriage return", "/a\rb");
    refused("tab", "/a\tb");
    refused("escape", "/a\x1b");
    refused("delete", "/a\x7f");
}

void TestRequest::localPath()
{
    QFETCH(QByteArray, requestPath);
    QFETCH(bool, served);
    QFETCH(QByteArray, local);
    const std::optional<QByteArray> decided = Request::localPathFor("/srv/web", requestPath);
    QCOMPARE(decided.has_value(), served);
    if (served)
        QCOMPARE(*decided, local);
}

void TestRequest::contentType_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("jpg") << QByteArray("/a.jpg") << QByteArray("Content-Type: image/jpeg");
    QTest::newRow("JPG lowered") << QByteArray("/Foto.JPG") << QByteArray("Content-Type: image/jpeg");
    QTest::newRow("jpeg") << QByteArray("/a.jpeg") << QByteArray("Content-Type: image/jpeg");
    QTest::newRow("gif") << QByteArray("/a.gif") << QByteArray("Content-Type: image/gif");
    QTest::newRow("htm") << QByteArray("/a.htm") << QByteArray("Content-Type: text/html");
    QTest::newRow("HTML") << QByteArray("/a.HTML") << QByteArray("Content-Type: text/html");
    QTest::newRow("zip") << QByteArray("/a.zip") << QByteArray("Content-Type: application/zip");
    QTest::newRow("mp3") << QByteArray("/a b.mp3") << QByteArray("Content-Type: audio/mpeg");
    QTest::newRow("m3u") << QByteArray("/a.m3u") << QByteArray("Content-Type: audio/x-mpegurl");
    QTest::newRow("pls") << QByteArray("/a.pls") << QByteArray("Content-Type: audio/x-mpegurl");
    QTest::newRow("xpl") << QByteArray("/a.xpl") << QByteArray("Content-Type: audio/x-mpegurl");
    QTest::newRow("no extension") << QByteArray("/readme") << QByteArray("Content-Type: */*");
    QTest::newRow("first dot counts") << QByteArray("/a.b/c.jpg") << QByteArray("Content-Type: */*");
    QTest::newRow("two extensions") << QByteArray("/a.tar.gz") << QByteArray("Content-Type: */*");
    QTest::newRow("unknown") << QByteArray("/a.txt") << QByteArray("Content-Type: */*");
    QTest::newRow("dot at the end") << QByteArray("/a.") << QByteArray("Content-Type: */*");
}

void TestRequest::contentType()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, line);
    QCOMPARE(Request::contentTypeLine(path), line);
}

void TestRequest::headers_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray name("Lorvane HTTP Server Version 1.00");
    QTest::newRow("not found") << ResponseHeader::notFound(
        name) << QByteArray("HTTP/1.0 404 Not Found\nServer: Lorvane HTTP Server Version 1.00\n\n");
    QTest::newRow("empty file") << ResponseHeader::file(name, "Content-Type: */*", 0)
                                << QByteArray("HTTP/1.0 200 OK\nServer: Lorvane HTTP Server Version 1.00\n"
                                              "Content-Type: */*\nContent-Length: 0\n\n");
    QTest::newRow("past 32 bits") << ResponseHeader::file("S", "Content-Type: audio/mpeg", 5'000'000'000LL)
                                  << QByteArray("HTTP/1.0 200 OK\nServer: S\nContent-Type: audio/mpeg\n"
                                                "Content-Length: 5000000000\n\n");
}

void TestRequest::headers()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, expected);
    QCOMPARE(header, expected);
}

QTEST_GUILESS_MAIN(TestRequest)
#include "tst_request.moc"
