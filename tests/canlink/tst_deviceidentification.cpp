// Tests of identifying the answering device from a ping answer's identifier and type bytes.
#include "deviceidentification.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestDeviceIdentification : public QObject
{
    Q_OBJECT

private slots:
    void identifies_data();
    void identifies();
    void shortFrameIsNotIdentified();
};

namespace {

// A ping answer: 00 31 hash, length 8, identifier, 00 01, type.
QByteArray pingAnswer(const char *identifierHex, const char *typeHex)
{
    return QByteArray::fromHex("00318B0A 08") + QByteArray::fromHex(identifierHex)
        + QByteArray::fromHex("0001") + QByteArray::fromHex(typeHex);
}

} // namespace

void TestDeviceIdentification::identifies_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("identified");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("id");

    QTest::newRow("track box") << pingAnswer("47431234", "0010") << true << u"Gleisbox-ID: 47431234"_s
                               << u"0010"_s << u"47431234"_s;
    QTest::newRow("0100 reads as 0010")
        << pingAnswer("47431234", "0100") << true << u"Gleisbox-ID: 47431234"_s << u"0010"_s << u"47431234"_s;
    QTest::newRow("002F below MS2") << pingAnswer("47431234", "002F") << false << u"GFP nicht identifiziert"_s
                                    << u"002F"_s << u"47431234"_s;
    QTest::newRow("0030 first MS2") << pingAnswer("4D53AB01", "0030") << true << u"MS2-ID: 4D53AB1"_s
                                    << u"0030"_s << u"4D53AB1"_s;
    QTest::newRow("0035 MS2") << pingAnswer("12345678", "0035") << true << u"MS2-ID: 12345678"_s << u"0035"_s
                              << u"12345678"_s;
    QTest::newRow("003A MS2 by character code")
        << pingAnswer("12345678", "003A") << true << u"MS2-ID: 12345678"_s << u"003A"_s << u"12345678"_s;
    QTest::newRow("030A reads as 003A")
        << pingAnswer("12345678", "030A") << true << u"MS2-ID: 12345678"_s << u"003A"_s << u"12345678"_s;
    QTest::newRow("003F last MS2") << pingAnswer("12345678", "003F") << true << u"MS2-ID: 12345678"_s
                                   << u"003F"_s << u"12345678"_s;
    QTest::newRow("0040 above MS2") << pingAnswer("12345678", "0040") << false << u"GFP nicht identifiziert"_s
                                    << u"0040"_s << u"12345678"_s;
    QTest::newRow("CS2, short identifier text")
        << pingAnswer("0000AB01", "FFFF") << true << u"CS2-ID: 00AB1"_s << u"FFFF"_s << u"00AB1"_s;
    QTest::newRow("FFFE") << pingAnswer("0000AB01", "FFFE") << false << u"GFP nicht identifiziert"_s
                          << u"FFFE"_s << u"00AB1"_s;
    QTest::newRow("0FFF is not FFFF")
        << pingAnswer("0000AB01", "0FFF") << false << u"GFP nicht identifiziert"_s << u"0FFF"_s << u"00AB1"_s;
    QTest::newRow("1000 keeps its last four")
        << pingAnswer("00000000", "1000") << false << u"GFP nicht identifiziert"_s << u"0100"_s << u"0000"_s;
    QTest::newRow("0000") << pingAnswer("00000000", "0000") << false << u"GFP nicht identifiziert"_s
                          << u"0000"_s << u"0000"_s;
}

void TestDeviceIdentification::identifies()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, identified);
    QFETCH(QString, label);
    QFETCH(QString, type);
    QFETCH(QString, id);
    QCOMPARE(frame.size(), 13);
    const DeviceIdentification result = identifyDevice(frame);
    QCOMPARE(result.identified, identified);
    QCOMPARE(result.label, label);
    QCOMPARE(result.deviceType, type);
    QCOMPARE(result.deviceId, id);
}

void TestDeviceIdentification::shortFrameIsNotIdentified()
{
    const DeviceIdentification result = identifyDevice(pingAnswer("47431234", "0010").first(12));
    QVERIFY(!result.identified);
    QCOMPARE(result.label, u"GFP nicht identifiziert"_s);
}

QTEST_APPLESS_MAIN(TestDeviceIdentification)
#include "tst_deviceidentification.moc"
