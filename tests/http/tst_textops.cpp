// Replacing, cutting between marks and after a mark, in both comparison modes.
#include "textops.h"

#include <QTest>

#include <stdexcept>

class TestTextOps : public QObject
{
    Q_OBJECT
private slots:
    void replaceText_data();
    void replaceText();
    void replaceTextRefusesEmptySearch();
    void textBetween_data();
    void textBetween();
    void textAfter_data();
    void textAfter();
};

void TestTextOps::replaceText_data()
{
    QTest::addColumn<QByteArray>("expression");
    QTest::addColumn<QByteArray>("find");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("compare");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("every %20") << QByteArray("x%20y%20z") << QByteArray("%20") << QByteArray(" ") << 1 << -1
                               << 0 << QByteArray("x y z");
    QTest::newRow("count 1") << QByteArray("x%20y%20z") << QByteArray("%20") << QByteArray(" ") << 1 << 1 << 0
                             << QByteArray("x y%20z");
    QTest::newRow("count 0 means all")
        << QByteArray("a-b-c") << QByteArray("-") << QByteArray("+") << 1 << 0 << 0 << QByteArray("a+b+c");
    QTest::newRow("equal lengths") << QByteArray("abcabc") << QByteArray("b") << QByteArray("X") << 1 << -1
                                   << 0 << QByteArray("aXcaXc");
    QTest::newRow("three backslashes become two") << QByteArray("a\\\\\\b") << QByteArray("\\\\")
                                                  << QByteArray("\\") << 1 << -1 << 0 << QByteArray("a\\\\b");
    QTest::newRow("three slashes become two")
        << QByteArray("///") << QByteArray("//") << QByteArray("/") << 1 << -1 << 0 << QByteArray("//");
    QTest::newRow("replacement not searched again")
        << QByteArray("aa") << QByteArray("a") << QByteArray("aa") << 1 << -1 << 0 << QByteArray("aaaa");
    QTest::newRow("hits never overlap")
        << QByteArray("aaa") << QByteArray("aa") << QByteArray("b") << 1 << -1 << 0 << QByteArray("ba");
    QTest::newRow("start drops the front")
        << QByteArray("abcabc") << QByteArray("a") << QByteArray("X") << 3 << -1 << 0 << QByteArray("cXbc");
    QTest::newRow("start below 1 counts as 1")
        << QByteArray("abc") << QByteArray("a") << QByteArray("X") << -5 << -1 << 0 << QByteArray("Xbc");
    QTest::newRow("start past the end")
        << QByteArray("abc") << QByteArray("a") << QByteArray("X") << 9 << -1 << 0 << QByteArray();
    QTest::newRow("no hit") << QByteArray("abc") << QByteArray("z") << QByteArray("X") << 1 << -1 << 0
                            << QByteArray("abc");
    QTest::newRow("exact keeps case")
        << QByteArray("AB ab") << QByteArray("ab") << QByteArray("x") << 1 << -1 << 0 << QByteArray("AB x");
    QTest::newRow("insensitive ASCII") << QByteArray("AB ab aB") << QByteArray("ab") << QByteArray("x") << 1
                                       << -1 << 1 << QByteArray("x x x");
    QTest::newRow("insensitive Latin-1") << QByteArray("\xC4x\xE4") << QByteArray("\xE4") << QByteArray("a")
                                         << 1 << -1 << 1 << QByteArray("axa");
    QTest::newRow("insensitive keeps the untouched text")
        << QByteArray("GeT Path") << QByteArray("get ") << QByteArray() << 1 << -1 << 1 << QByteArray("Path");
    QTest::newRow("bytes beyond ASCII pass")
        << QByteArray("\xFF\x00\xFF", 3) << QByteArray("\x00", 1) << QByteArray("\x01") << 1 << -1 << 0
        << QByteArray("\xFF\x01\xFF");
}

void TestTextOps::replaceText()
{
    QFETCH(QByteArray, expression);
    QFETCH(QByteArray, find);
    QFETCH(QByteArray, replacement);
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(int, compare);
    QFETCH(QByteArray, expected);
    QCOMPARE(ReplaceText(expression, find, replacement, start, count, compare), expected);
}

void TestTextOps::replaceTextRefusesEmptySearch()
{
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ReplaceText("abc", QByteArray(), "x"));
}

void TestTextOps::textBetween_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("startMark");
    QTest::addColumn<QByteArray>("endMark");
    QTest::addColumn<int>("compare");
    QTest::addColumn<bool>("emptyWhenMissing");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("request line") << QByteArray("GET /x HTTP/1.0") << QByteArray("GET ")
                                  << QByteArray(" HTTP/1.") << 0 << true << QByteArray("/x");
    QTest::newRow("empty between") << QByteArray("GET  HTTP/1.0") << QByteArray("GET ")
                                   << QByteArray(" HTTP/1.") << 0 << true << QByteArray();
    QTest::newRow("end searched behind start")
        << QByteArray("]x[ab]c]") << QByteArray("[") << QByteArray("]") << 0 << true << QByteArray("ab");
    QTest::newRow("first start mark counts") << QByteArray("GET GET /x HTTP/1.0") << QByteArray("GET ")
                                             << QByteArray(" HTTP/1.") << 0 << true << QByteArray("GET /x");
    QTest::newRow("end missing, flag set")
        << QByteArray("GET /x") << QByteArray("GET ") << QByteArray(" HTTP/1.") << 0 << true << QByteArray();
    QTest::newRow("end missing, flag clear") << QByteArray("GET /x") << QByteArray("GET ")
                                             << QByteArray(" HTTP/1.") << 0 << false << QByteArray("GET /x");
    QTest::newRow("start missing, flag clear")
        << QByteArray("PUT /x HTTP/1.0") << QByteArray("GET ") << QByteArray(" HTTP/1.") << 0 << false
        << QByteArray("PUT /x HTTP/1.0");
    QTest::newRow("exact misses lower case") << QByteArray("get /x http/1.0") << QByteArray("GET ")
                                             << QByteArray(" HTTP/1.") << 0 << true << QByteArray();
    QTest::newRow("insensitive finds lower case") << QByteArray("get /X http/1.0") << QByteArray("GET ")
                                                  << QByteArray(" HTTP/1.") << 1 << true << QByteArray("/X");
}

void TestTextOps::textBetween()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, startMark);
    QFETCH(QByteArray, endMark);
    QFETCH(int, compare);
    QFETCH(bool, emptyWhenMissing);
    QFETCH(QByteArray, expected);
    QCOMPARE(TextBetween(text, startMark, endMark, compare, emptyWhenMissing ? 1 : 0), expected);
}

void TestTextOps::textAfter_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<int>("compare");
    QTest::addColumn<bool>("emptyWhenMissing");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first mark counts")
        << QByteArray("/a.b.jpg") << QByteArray(".") << 0 << true << QByteArray("b.jpg");
    QTest::newRow("missing, flag set")
        << QByteArray("/readme") << QByteArray(".") << 0 << true << QByteArray();
    QTest::newRow("missing, flag clear")
        << QByteArray("/readme") << QByteArray(".") << 0 << false << QByteArray("/readme");
    QTest::newRow("mark ends the text")
        << QByteArray("/readme.") << QByteArray(".") << 0 << false << QByteArray();
    QTest::newRow("exact keeps case")
        << QByteArray("aXbxc") << QByteArray("x") << 0 << true << QByteArray("c");
    QTest::newRow("insensitive") << QByteArray("aXbxc") << QByteArray("x") << 1 << true << QByteArray("bxc");
}

void TestTextOps::textAfter()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, mark);
    QFETCH(int, compare);
    QFETCH(bool, emptyWhenMissing);
    QFETCH(QByteArray, expected);
    QCOMPARE(TextAfter(text, mark, compare, emptyWhenMissing ? 1 : 0), expected);
}

QTEST_GUILESS_MAIN(TestTextOps)
#include "tst_textops.moc"
