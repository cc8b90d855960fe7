// Locale texts of the server and the transfer progress line.
#include "localeformat.h"
#include "pinnedlocale.h"
#include "progress.h"

#include <QDateTime>
#include <QLocale>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestProgress : public QObject
{
    Q_OBJECT
private slots:
    void twoDecimals_data();
    void twoDecimals();
    void dateAndTime_data();
    void dateAndTime();
    void line_data();
    void line();
    void noLineForAnEmptyFile();
};

void TestProgress::twoDecimals_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("example") << german << 51.5 << u"51,50"_s;
    QTest::newRow("above hundred") << german << 2148.0 / 2050.0 * 100.0 << u"104,78"_s;
    QTest::newRow("one digit padded") << german << 5.5 << u"05,50"_s;
    QTest::newRow("zero") << german << 0.0 << u"00,00"_s;
    QTest::newRow("rounds up into a new digit") << german << 99.999 << u"100,00"_s;
    QTest::newRow("rounds to padded") << german << 9.999 << u"10,00"_s;
    QTest::newRow("no grouping") << german << 12345.6 << u"12345,60"_s;
    QTest::newRow("English separator") << english << 5.5 << u"05.50"_s;
}

void TestProgress::twoDecimals()
{
    QFETCH(QLocale, locale);
    QFETCH(double, value);
    QFETCH(QString, text);
    const PinnedLocale pinned {locale};
    QCOMPARE(LocaleFormat::twoDecimals(value), text);
}

void TestProgress::dateAndTime_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");

    QTest::newRow("German") << u"de_DE"_s << u"07.12.2026 14:45:33"_s;
    QTest::newRow("Swiss German") << u"de_CH"_s << u"07.12.2026 14:45:33"_s;
    QTest::newRow("American English") << u"en_US"_s << u"12/7/2026 2:45:33 PM"_s;
    QTest::newRow("British English") << u"en_GB"_s << u"07/12/2026 14:45:33"_s;
    QTest::newRow("Spanish, zone in brackets dropped") << u"es_ES"_s << u"7/12/2026 14:45:33"_s;
    QTest::newRow("Chinese, zone in front dropped") << u"zh_CN"_s << u"2026/12/7 14:45:33"_s;
}

void TestProgress::dateAndTime()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const QDateTime when(QDate(2026, 12, 7), QTime(14, 45, 33));
    QCOMPARE(LocaleFormat::dateTimeText(when, QLocale(locale)), text);
}

void TestProgress::line_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("text");

    QTest::newRow("example") << QByteArray("/a.zip") << qint64(5150) << qint64(10000)
                             << u"Transfering: /a.zip - 5150 of 10000 bytes sent (51,50% Done)."_s;
    QTest::newRow("header counted, total not")
        << QByteArray("/b") << qint64(2148) << qint64(2050)
        << u"Transfering: /b - 2148 of 2050 bytes sent (104,78% Done)."_s;
    QTest::newRow("path as requested")
        << QByteArray("/my%20file.txt") << qint64(1) << qint64(100)
        << u"Transfering: /my%20file.txt - 1 of 100 bytes sent (01,00% Done)."_s;
    QTest::newRow("past 2 GiB")
        << QByteArray("/big") << qint64(3'221'225'472LL) << qint64(4'294'967'296LL)
        << u"Transfering: /big - 3221225472 of 4294967296 bytes sent (75,00% Done)."_s;
    QTest::newRow("just past 2^31")
        << QByteArray("/big") << qint64(2'147'483'748LL) << qint64(2'147'483'651LL)
        << u"Transfering: /big - 2147483748 of 2147483651 bytes sent (100,00% Done)."_s;
    QTest::newRow("Latin-1 path") << QByteArray("/caf\xE9") << qint64(50) << qint64(100)
                                  << u"Transfering: /caf\u00E9 - 50 of 100 bytes sent (50,00% Done)."_s;
}

void TestProgress::line()
{
    QFETCH(QByteArray, path);
    QFETCH(qint64, sent);
    QFETCH(qint64, length);
    QFETCH(QString, text);
    const PinnedLocale german;
    const std::optional<QString> shown = Progress::line(path, sent, length);
    QVERIFY(shown);
    QCOMPARE(*shown, text);
}

void TestProgress::noLineForAnEmptyFile()
{
    QVERIFY(!Progress::line("/empty", 97, 0));
}

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
