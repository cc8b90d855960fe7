// The request decisions: pattern, path, the gate to the disk, names, content types and header bytes.
#include "fixedtexts.h"
#include "names.h"
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
    void servedPath_data();
    void servedPath();
    void percentDecoding_data();
    void percentDecoding();
    void servableNames_data();
    void servableNames();
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

void TestRequest::servedPath_data()
{
    QTest::addColumn<QByteArray>("requestPath");
    QTest::addColumn<bool>("served");
    QTest::addColumn<QByteArray>("names"); // the segments joined by "/"
    QTest::addColumn<bool>("folderWanted");

    const auto served
        = [](const char *name, const QByteArray &path, const QByteArray &names, bool folderWanted = false) {
              QTest::newRow(name) << path << true << names << folderWanted;
          };
    const auto refused = [](const char *name, const QByteArray &path) {
        QTest::newRow(name) << path << false << QByteArray() << false;
    };

    served("root", "/", "/", true);
    served("file", "/a.txt", "/a.txt");
    served("nested", "/music/live/a.mp3", "/music/live/a.mp3");
    served("folder with trailing separator", "/music/", "/music", true);
    served("%20 decoded", "/my%20music/", "/my music", true);
    served("any escape decoded", "/Gleispl%C3%A4ne/M%c3%a4rz", "/Gleispl\xC3\xA4ne/M\xC3\xA4rz");
    served("%2F decoded into a separator", "/a%2Fb", "/a/b");
    served("encoded trailing separator", "/sub%2f", "/sub", true);
    served("encoded star and question mark are names", "/a%2Ab%3F", "/a*b?");
    served("encoded percent is a name", "/a%2520b.txt", "/a%20b.txt");
    served("decoded only once", "/%252e%252e/x", "/%2e%2e/x");
    served("lone percent stays", "/100%", "/100%");
    served("percent with one digit stays", "/a%2", "/a%2");
    served("%zz stays", "/a%zzb", "/a%zzb");
    served("overlong UTF-8 dots are only a name", "/%c0%ae%c0%ae/x", "/\xC0\xAE\xC0\xAE/x");
    served("invalid UTF-8 is only a name", "/%ff%fe", "/\xFF\xFE");
    served("stray byte 0x85 is no control", "/a%85", "/a\x85");
    served("doubled separator", "/a//b", "/a/b");
    served("tripled separator", "/a///b", "/a/b");
    served("leading doubled separator", "//a", "/a");
    served("no leading slash stays below the root", "-sibling/x", "/-sibling/x");
    served("drive letter is a name", "C:\\x", "/C:\\x");
    served("absolute URL is a name", "http://h/x", "/http:/h/x");
    served("dots inside a name", "/a..b/c...d", "/a..b/c...d");
    served("space before dots", "/ ../x", "/ ../x");
    served("bytes beyond ASCII pass", "/caf\xE9", "/caf\xE9");

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
    refused("parent after a folder", "/a/../../x");
    refused("parent with trailing separator", "/a/../");
    refused("parent without slash", "..");
    refused("parent behind doubled separators", "//..//x");
    refused("current", "/./x");
    refused("current alone", "/.");
    refused("current inside", "/a/./b");
    refused("current with backslash", "\\.\\x");
    refused("hidden file", "/.hidden");
    refused("hidden folder on the way", "/a/.git/config");
    refused("hidden behind backslash", "/a\\.git");
    refused("parent with %20", "/..%20/x");
    refused("encoded parent", "/%2e%2e/x");
    refused("encoded parent in capitals", "/%2E%2E/x");
    refused("half-encoded parent", "/.%2e/x");
    refused("parent half-encoded the other way", "/%2e./x");
    refused("encoded current", "/%2e/x");
    refused("encoded slashes around a parent", "/a%2F..%2Fx");
    refused("encoded backslashes around a parent", "/a%5c..%5cx");
    refused("encoded hidden name", "/%2ehidden");
    refused("encoded hidden folder on the way", "/%2Egit/config");
    refused("NUL", QByteArray("/a\0b", 4));
    refused("NUL before an extension", QByteArray("/pub.txt\0.jpg", 13));
    refused("encoded NUL", "/a%00b");
    refused("encoded NUL before an extension", "/pub.txt%00.jpg");
    refused("line feed", "/a\nb");
    refused("encoded line feed", "/a%0Ab");
    refused("carriage return", "/a\rb");
    refused("tab", "/a\tb");
    refused("escape", "/a\x1b");
    refused("delete", "/a\x7f");
    refused("encoded delete", "/a%7F");
    refused("encoded C1 control", "/a%C2%85b");
}

void TestRequest::servedPath()
{
    QFETCH(QByteArray, requestPath);
    QFETCH(bool, served);
    QFETCH(QByteArray, names);
    QFETCH(bool, folderWanted);
    const std::optional<Request::ServedPath> decided = Request::servedPathFor(requestPath);
    QCOMPARE(decided.has_value(), served);
    if (!served)
        return;
    QCOMPARE(decided->joined(), names);
    QCOMPARE(decided->folderWanted, folderWanted);
    for (const QByteArray &segment : decided->segments)
        QVERIFY(Names::isServableName(segment));
}

void TestRequest::percentDecoding_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("decoded");

    QTest::newRow("nothing to decode") << QByteArray("/a b") << QByteArray("/a b");
    QTest::newRow("every byte") << QByteArray("%00%1f%41%7e%80%ff")
                                << QByteArray("\0\x1f"
                                              "A~\x80\xff",
                                              6);
    QTest::newRow("both cases") << QByteArray("%c3%A4%C3%a4") << QByteArray("\xC3\xA4\xC3\xA4");
    QTest::newRow("lone percent at the end") << QByteArray("a%") << QByteArray("a%");
    QTest::newRow("one digit at the end") << QByteArray("a%4") << QByteArray("a%4");
    QTest::newRow("not hexadecimal") << QByteArray("%zz%g0%0g") << QByteArray("%zz%g0%0g");
    QTest::newRow("percent before an escape") << QByteArray("%%41") << QByteArray("%A");
    QTest::newRow("once only") << QByteArray("%2541") << QByteArray("%41");
    QTest::newRow("plus is no space") << QByteArray("a+b") << QByteArray("a+b");
}

void TestRequest::percentDecoding()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, decoded);
    QCOMPARE(Names::percentDecoded(text), decoded);
}

void TestRequest::servableNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("servable");

    QTest::newRow("plain") << QByteArray("a.txt") << true;
    QTest::newRow("UTF-8") << QByteArray("\xC3\x9C"
                                         "bersicht Gleisplan.pdf")
                           << true;
    QTest::newRow("markup and escapes") << QByteArray("<svg onload=alert(1)>%20#&\"'.txt") << true;
    QTest::newRow("wildcards") << QByteArray("a*b?") << true;
    QTest::newRow("backslash inside") << QByteArray("a\\b") << true;
    QTest::newRow("dots after a space") << QByteArray(" ..") << true;
    QTest::newRow("stray byte 0x85") << QByteArray("a\x85") << true;
    QTest::newRow("stray lead byte") << QByteArray("a\xC2") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("current") << QByteArray(".") << false;
    QTest::newRow("parent") << QByteArray("..") << false;
    QTest::newRow("hidden") << QByteArray(".profile") << false;
    QTest::newRow("parent between backslashes") << QByteArray("a\\..\\b") << false;
    QTest::newRow("hidden behind a backslash") << QByteArray("a\\.git") << false;
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << false;
    QTest::newRow("bell") << QByteArray("bell\x07.txt") << false;
    QTest::newRow("line feed at the end") << QByteArray("a\n") << false;
    QTest::newRow("delete") << QByteArray("a\x7F") << false;
    QTest::newRow("C1 control in UTF-8") << QByteArray("a\xC2\x85") << false;
    QTest::newRow("last C1 control in UTF-8") << QByteArray("\xC2\x9F") << false;
}

void TestRequest::servableNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, servable);
    QCOMPARE(Names::isServableName(name), servable);
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

    QTest::newRow("not found") << ResponseHeader::notFound(ServerName) << NotFoundAnswer;
    QTest::newRow("empty file") << ResponseHeader::file(ServerName, "Content-Type: */*", 0)
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
