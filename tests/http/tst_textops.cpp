// Cutting between marks and after a mark.
#include "textops.h"

#include <QTest>

class TestTextOps : public QObject
{
    Q_OBJECT
private slots:
    void textBetween_data();
    void textBetween();
    void textAfter_data();
    void textAfter();
};

void TestTextOps::textBetween_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("startMark");
    QTest::addColumn<QByteArray>("endMark");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("request line") << QByteArray("GET /x HTTP/1.0") << QByteArray("GET ")
                                  << QByteArray(" HTTP/1.") << QByteArray("/x");
    QTest::newRow("empty between") << QByteArray("GET  HTTP/1.0") << QByteArray("GET ")
                                   << QByteArray(" HTTP/1.") << QByteArray();
    QTest::newRow("end searched behind start")
        << QByteArray("]x[ab]c]") << QByteArray("[") << QByteArray("]") << QByteArray("ab");
    QTest::newRow("first start mark counts") << QByteArray("GET GET /x HTTP/1.0") << QByteArray("GET ")
                                             << QByteArray(" HTTP/1.") << QByteArray("GET /x");
    QTest::newRow("end missing") << QByteArray("GET /x") << QByteArray("GET ") << QByteArray(" HTTP/1.")
                                 << QByteArray();
    QTest::newRow("start missing") << QByteArray("PUT /x HTTP/1.0") << QByteArray("GET ")
                                   << QByteArray(" HTTP/1.") << QByteArray();
    QTest::newRow("lower case is another mark")
        << QByteArray("get /x http/1.0") << QByteArray("GET ") << QByteArray(" HTTP/1.") << QByteArray();
}

void TestTextOps::textBetween()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, startMark);
    QFETCH(QByteArray, endMark);
    QFETCH(QByteArray, expected);
    QCOMPARE(TextBetween(text, startMark, endMark), expected);
}

void TestTextOps::textAfter_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first mark counts") << QByteArray("/a.b.jpg") << QByteArray(".") << QByteArray("b.jpg");
    QTest::newRow("missing") << QByteArray("/readme") << QByteArray(".") << QByteArray();
    QTest::newRow("mark ends the text") << QByteArray("/readme.") << QByteArray(".") << QByteArray();
    QTest::newRow("lower case is another mark") << QByteArray("aXbxc") << QByteArray("x") << QByteArray("c");
}

void TestTextOps::textAfter()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, mark);
    QFETCH(QByteArray, expected);
    QCOMPARE(TextAfter(text, mark), expected);
}

QTEST_GUILESS_MAIN(TestTextOps)
#include "tst_textops.moc"
