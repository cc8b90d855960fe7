// The link object's frame decisions, settings texts and settings file, without a window.
#include "can.h"
#include "framebytes.h"
#include "linkwindow.h"
#include "numbertext.h"
#include "serialport.h"
#include "settingsfile.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// The window as the link object sees it: status line and buttons recorded.
struct RecordedWindow : LinkWindow
{
    QString status;
    QMap<Control, bool> enabled;
    void showLinkStatus(const QString &text) override { status = text; }
    void setControlEnabled(Control control, bool on) override { enabled[control] = on; }
    int comboSelectedIndex() const override { return -1; }
    void setComboSelectedIndex(int) override { }
    int comboCount() const override { return 0; }
    QString comboEntry(int) const override { return {}; }
    QString comboText() const override { return {}; }
    QString baudText() const override { return {}; }
    void setBaudText(const QString &) override { }
};

// A link object with a window and port of its own, so no case sees what another left behind.
struct Link
{
    explicit Link(const QString &iniPath = {})
        : can(port, window, iniPath)
    {
    }
    RecordedWindow window;
    SerialPort port {[](int) { return QString(); }};
    CAN can;
};

QByteArray pingAnswer(int t1, int t2)
{
    return frameBytes({0x00, 0x31, 0x12, 0x34, 8, 0x47, 0x43, 0x12, 0x34, 0x00, 0x01, t1, t2});
}

} // namespace

class TestCan : public QObject
{
    Q_OBJECT

private slots:
    void pingAnswersAreIdentifiedAndRewritten_data()
    {
        QTest::addColumn<int>("t1");
        QTest::addColumn<int>("t2");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("status");
        QTest::newRow("track box") << 0x00 << 0x10 << 1 << u"Gleisbox-ID: 47431234"_s;
        QTest::newRow("0100 read as 0010") << 0x01 << 0x00 << 1 << u"Gleisbox-ID: 47431234"_s;
        QTest::newRow("below MS2") << 0x00 << 0x2F << 2 << u"GFP nicht identifiziert"_s;
        QTest::newRow("first MS2") << 0x00 << 0x30 << 1 << u"MS2-ID: 47431234"_s;
        QTest::newRow("last MS2") << 0x00 << 0x3F << 1 << u"MS2-ID: 47431234"_s;
        QTest::newRow("above MS2") << 0x00 << 0x40 << 2 << u"GFP nicht identifiziert"_s;
        QTest::newRow("CS2") << 0xFF << 0xFF << 1 << u"CS2-ID: 47431234"_s;
    }
    void pingAnswersAreIdentifiedAndRewritten()
    {
        QFETCH(int, t1);
        QFETCH(int, t2);
        QFETCH(int, code);
        QFETCH(QString, status);
        Link fresh;
        const QByteArray answer = pingAnswer(t1, t2);
        QByteArray expected = answer;
        expected[11] = char(0xEE);
        expected[12] = char(0xEE);
        QCOMPARE(fresh.can.CBefehl(answer), expected);
        QCOMPARE(fresh.can.answerCode(), code);
        QCOMPARE(fresh.window.status, status);
        QCOMPARE(fresh.can.deviceId(), code == 1 ? u"47431234"_s : QString());
        // Every ping answer switches the buttons, identified or not.
        QCOMPARE(fresh.window.enabled.value(LinkWindow::Control::Command4, true), false);
        QCOMPARE(fresh.window.enabled.value(LinkWindow::Control::Command5, false), true);
    }

    void otherFramesPassWholeAndLeaveTheAnswerCode()
    {
        Link fresh;
        CAN &link = fresh.can;
        link.CBefehl(pingAnswer(0x00, 0x10));
        const QList<QByteArray> others = {
            frameBytes({0x00, 0x08, 0x47, 0x11, 8, 1, 2, 3, 4, 5, 6, 7, 8}), // 8 bytes, not a ping
            frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0}), // ping request
            frameBytes({0x20, 0x31, 0x12, 0x34, 5, 0, 0, 0, 0, 0, 0, 0, 0x20}), // spaces at both ends
        };
        for (const QByteArray &other : others) {
            QCOMPARE(link.CBefehl(other), other);
            QCOMPARE(link.answerCode(), 1);
        }
        // A later answer of an unknown device keeps the identifier of the known one.
        link.CBefehl(pingAnswer(0x00, 0x40));
        QCOMPARE(link.deviceId(), u"47431234"_s);
        QCOMPARE(link.deviceType(), u"0040"_s);
    }

    void udpPingAnswersTurnIntoRequests()
    {
        Link fresh;
        CAN &link = fresh.can;
        const QByteArray answer
            = frameBytes({0x00, 0x31, 0x8B, 0x0A, 8, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10});
        QCOMPARE(link.CAN_Retour(answer),
                 frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0x47, 0x43, 0x0A, 0x12, 0x00, 0x01, 0x00, 0x10}));
        QCOMPARE(link.idBits(), u"00000001100001000101100001010"_s);
        // Requests, other commands and spaces at the ends pass unchanged.
        for (const QByteArray &same : {frameBytes({0x00, 0x30, 0x8B, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                                       frameBytes({0x00, 0x09, 0x8B, 0x0A, 8, 0, 0, 0, 0, 0, 0, 0, 0}),
                                       frameBytes({0x20, 0x09, 0x8B, 0x0A, 8, 0, 0, 0, 0, 0, 0, 0, 0x20})})
            QCOMPARE(link.CAN_Retour(same), same);
    }

    void speedTextsConvertBothWays()
    {
        Link fresh;
        CAN &link = fresh.can;
        QVERIFY(link.setCOM_Speed(u"115200"_s));
        QCOMPARE(link.COM_Speed(), u"115200"_s);
        QVERIFY(!link.setCOM_Speed(u"9k6"_s));
        QVERIFY(!link.setCOM_Speed(QString()));
        QCOMPARE(link.COM_Speed(), u"115200"_s);
        QVERIFY(link.setCOM_Speed(u"1234567"_s));
        QCOMPARE(link.COM_Speed(), u"1234567"_s);
    }

    void portNumbersComeFromTheLeadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << u"12"_s << 12.0;
        QTest::newRow("blanks and tail") << u"  7abc"_s << 7.0;
        QTest::newRow("none") << u"x7"_s << 0.0;
        QTest::newRow("empty") << QString() << 0.0;
        QTest::newRow("decimals") << u"2.5"_s << 2.5;
    }
    void portNumbersComeFromTheLeadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(leadingNumber(text), value);
        QCOMPARE(roundToRange(2.5, -32768, 32767), std::optional<int>(2));
        QCOMPARE(roundToRange(3.5, -32768, 32767), std::optional<int>(4));
        QVERIFY(!roundToRange(32768, -32768, 32767));
    }

    void openFailsWithTheNamedPort()
    {
        Link fresh;
        CAN &link = fresh.can;
        link.setCOM_Port(u"99999"_s); // outside the 16-bit range
        link.setCOM_Speed(u"9600"_s);
        QCOMPARE(link.Verbinden(), u"Fehler beim Öffnen von COM99999"_s);
        QVERIFY(!link.Verbindungs_Status());
        QCOMPARE(link.Trennen(), u"Verbindung getrennt"_s);
    }

    void settingsFileBytes()
    {
        QCOMPARE(settingsBytes(u"3"_s, u"9600"_s), QByteArray("riri\r\nPortNr=3\r\nBaudRate=9600\r\n"));
        QCOMPARE(settingsBytes(u"3"_s, u"9600"_s).size(), 31);
        const LinkSettings parsed = parseSettings("x\r\nriri\r\nPortNr=\r\nBaudRate= 4800 \r\nriri");
        QCOMPARE(parsed.portText, std::optional<QString>(QString()));
        QCOMPARE(parsed.speed, std::optional<double>(4800));
    }

    void unwritableSettingsFileIsReported()
    {
        Link fresh(u"/proc/quenvar-cannot-write/RIri.ini"_s);
        fresh.can.setCOM_Port(u"3"_s);
        fresh.can.ini_Schreiben();
        QVERIFY2(fresh.window.status.startsWith(u"Einstellungen konnten nicht gespeichert werden"_s),
                 qPrintable(fresh.window.status));
    }
};

QTEST_GUILESS_MAIN(TestCan)
#include "tst_can.moc"
