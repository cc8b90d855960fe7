// Tests of the frame record and its bit, hexadecimal and identifier notations.
#include "canmessage.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kGatewayPing = QByteArray::fromHex("00308B0A 00 0000000000000000");
}

class TestCanMessage : public QObject
{
    Q_OBJECT

private slots:
    void byteToBin_data();
    void byteToBin();
    void binToValue_data();
    void binToValue();
    void fieldBitTexts_data();
    void fieldBitTexts();
    void hexTexts_data();
    void hexTexts();
    void identBytesFromBuildText_data();
    void identBytesFromBuildText();
    void decodesFrame_data();
    void decodesFrame();
    void decodeThenRebuildKeepsIdent_data();
    void decodeThenRebuildKeepsIdent();
    void pingFrames_data();
    void pingFrames();
    void gatewayPingIsBuiltFromItsFields();
    void buildFrameFillsData_data();
    void buildFrameFillsData();
};

void TestCanMessage::byteToBin_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("bits");
    QTest::newRow("0") << 0 << u"00000000"_s;
    QTest::newRow("1") << 1 << u"00000001"_s;
    QTest::newRow("24 ping") << 24 << u"00011000"_s;
    QTest::newRow("128") << 128 << u"10000000"_s;
    QTest::newRow("0x8B") << 0x8B << u"10001011"_s;
    QTest::newRow("255") << 255 << u"11111111"_s;
}

void TestCanMessage::byteToBin()
{
    QFETCH(int, value);
    QFETCH(QString, bits);
    QCOMPARE(Byte_To_Bin(value), bits);
}

void TestCanMessage::binToValue_data()
{
    QTest::addColumn<QString>("bits");
    QTest::addColumn<quint64>("value");
    QTest::newRow("empty") << QString() << quint64(0);
    QTest::newRow("no ones") << u"0000"_s << quint64(0);
    QTest::newRow("ping command") << u"00011000"_s << quint64(24);
    QTest::newRow("hash 8B0A") << u"1000101100001010"_s << quint64(35594);
    QTest::newRow("other characters take a position") << u"1x1"_s << quint64(5);
    QTest::newRow("spaces are not ones") << u" 1 "_s << quint64(2);
    QTest::newRow("32 ones") << QString(32, u'1') << quint64(0xFFFFFFFF);
    QTest::newRow("5-character top byte") << u"11111"_s << quint64(31);
}

void TestCanMessage::binToValue()
{
    QFETCH(QString, bits);
    QFETCH(quint64, value);
    QCOMPARE(Bin_To_Value(bits), value);
}

void TestCanMessage::fieldBitTexts_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("bits");
    QTest::newRow("Prio 0") << 0 << 4 << u"0000"_s;
    QTest::newRow("Prio 5") << 5 << 4 << u"0101"_s;
    QTest::newRow("Cmd 24") << 24 << 8 << u"00011000"_s;
    QTest::newRow("Resp 1") << 1 << 1 << u"1"_s;
    QTest::newRow("wider than a byte pads with zeros") << 0xAB << 12 << u"000010101011"_s;
    QTest::newRow("narrower cuts the top bits") << 0xFF << 4 << u"1111"_s;
}

void TestCanMessage::fieldBitTexts()
{
    QFETCH(int, value);
    QFETCH(int, width);
    QFETCH(QString, bits);
    QCOMPARE(fieldBitText(value, width), bits);
}

void TestCanMessage::hexTexts_data()
{
    QTest::addColumn<quint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << quint64(0) << u"0"_s;
    QTest::newRow("5, no leading zero") << quint64(5) << u"5"_s;
    QTest::newRow("A") << quint64(0x0A) << u"A"_s;
    QTest::newRow("ping 18") << quint64(24) << u"18"_s;
    QTest::newRow("upper case") << quint64(0xAB) << u"AB"_s;
    QTest::newRow("hash") << quint64(0x8B0A) << u"8B0A"_s;
}

void TestCanMessage::hexTexts()
{
    QFETCH(quint64, value);
    QFETCH(QString, text);
    QCOMPARE(hexText(value), text);
}

void TestCanMessage::identBytesFromBuildText_data()
{
    QTest::addColumn<QString>("buildText");
    QTest::addColumn<QByteArray>("ident");
    QTest::newRow("gateway ping") << u"0000"_s + u"00011000"_s + u"0"_s + u"1000101100001010"_s
                                  << QByteArray::fromHex("00308B0A");
    QTest::newRow("ping answer") << u"0000"_s + u"00011000"_s + u"1"_s + u"1000101100001010"_s
                                 << QByteArray::fromHex("00318B0A");
    QTest::newRow("all fields full") << QString(29, u'1') << QByteArray::fromHex("1FFFFFFF");
    QTest::newRow("Prio only") << u"1111"_s + QString(25, u'0') << QByteArray::fromHex("1E000000");
    QTest::newRow("all zero") << QString(29, u'0') << QByteArray::fromHex("00000000");
}

void TestCanMessage::identBytesFromBuildText()
{
    QFETCH(QString, buildText);
    QFETCH(QByteArray, ident);
    QCOMPARE(identFromBuildText(buildText), ident);
}

void TestCanMessage::decodesFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("identBits");
    QTest::addColumn<int>("cmd");
    QTest::addColumn<QChar>("resp");
    QTest::addColumn<QString>("hash");
    QTest::newRow("ping answer") << QByteArray::fromHex("00318B0A08474312340001 0010")
                                 << u"00000000001100011000101100001010"_s << 24 << QChar(u'1')
                                 << u"1000101100001010"_s;
    QTest::newRow("gateway ping") << kGatewayPing << u"00000000001100001000101100001010"_s << 24
                                  << QChar(u'0') << u"1000101100001010"_s;
    QTest::newRow("bits 31..29 are not looked at")
        << QByteArray::fromHex("E0000000 05 0000000000000000") << u"11100000000000000000000000000000"_s << 0
        << QChar(u'0') << QString(16, u'0');
    QTest::newRow("top command bit in the first byte")
        << QByteArray::fromHex("0100FFFF 00 0000000000000000") << u"00000001000000001111111111111111"_s
        << 0x80 << QChar(u'0') << QString(16, u'1');
    QTest::newRow("only the first 13 bytes count")
        << QByteArray::fromHex("00318B0A08474312340001 0010 FF") << u"00000000001100011000101100001010"_s
        << 24 << QChar(u'1') << u"1000101100001010"_s;
}

void TestCanMessage::decodesFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, identBits);
    QFETCH(int, cmd);
    QFETCH(QChar, resp);
    QFETCH(QString, hash);
    QCOMPARE(identBitText(frame), identBits);
    const auto decoded = decodeFrame(frame);
    QVERIFY(decoded);
    QCOMPARE(decoded->Cmd, cmd);
    QCOMPARE(decoded->Resp, resp);
    QCOMPARE(decoded->Hash, hash);
}

void TestCanMessage::decodeThenRebuildKeepsIdent_data()
{
    QTest::addColumn<QByteArray>("ident");
    QTest::newRow("ping answer") << QByteArray::fromHex("00318B0A");
    QTest::newRow("highest priority and command") << QByteArray::fromHex("1FFE0001");
    QTest::newRow("command 0x80, answer") << QByteArray::fromHex("0101ABCD");
    QTest::newRow("zero") << QByteArray::fromHex("00000000");
}

// Decoding and building must agree on every field boundary, or a rebuilt frame
// carries another command or hash than the one received.
void TestCanMessage::decodeThenRebuildKeepsIdent()
{
    QFETCH(QByteArray, ident);
    const QByteArray frame = ident + QByteArray(FrameSize - IdentSize, '\0');
    const auto decoded = decodeFrame(frame);
    QVERIFY(decoded);
    const QString prio = identBitText(frame).mid(3, PrioWidth);
    const QString rebuilt = prio + fieldBitText(decoded->Cmd, CmdWidth) + decoded->Resp + decoded->Hash;
    QCOMPARE(identFromBuildText(rebuilt), ident);
}

void TestCanMessage::pingFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("ping");
    QTest::newRow("gateway ping") << kGatewayPing << true;
    QTest::newRow("ping answer") << QByteArray::fromHex("00311234 08 4743 0A12 0001 0010") << true;
    QTest::newRow("ping with priority bits") << QByteArray::fromHex("1E300000 00 0000000000000000") << true;
    QTest::newRow("command 0x19") << QByteArray::fromHex("00320000 08 0000000000000000") << false;
    QTest::newRow("command 0x98 (top bit)") << QByteArray::fromHex("01300000 00 0000000000000000") << false;
    QTest::newRow("12 bytes") << QByteArray::fromHex("00308B0A 00 00000000000000") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestCanMessage::pingFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, ping);
    QCOMPARE(isPingFrame(frame), ping);
}

// The CAN object assembles its ping from these pieces; they must give the fixed bytes.
void TestCanMessage::gatewayPingIsBuiltFromItsFields()
{
    const QString idBits
        = identBuildText(GatewayPingPrio, PingCommand, RespRequest, hashBitText(GatewayPingHash));
    QCOMPARE(idBits, u"00000001100001000101100001010"_s);
    QCOMPARE(buildFrame(idBits, 0, {}), QByteArray::fromHex("00308B0A 00 0000000000000000"));
}

void TestCanMessage::buildFrameFillsData_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("frameData");
    QTest::newRow("eight bytes") << QByteArray::fromHex("4743120A00010010")
                                 << QByteArray::fromHex("4743120A00010010");
    QTest::newRow("short data is padded")
        << QByteArray::fromHex("2020") << QByteArray::fromHex("2020000000000000");
    QTest::newRow("long data is cut")
        << QByteArray::fromHex("010203040506070809") << QByteArray::fromHex("0102030405060708");
}

void TestCanMessage::buildFrameFillsData()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, frameData);
    const QString idBits = identBuildText(0, PingCommand, RespAnswer, hashBitText(0x2020));
    const QByteArray frame = buildFrame(idBits, 8, data);
    QCOMPARE(frame.size(), FrameSize);
    QCOMPARE(frame.first(LengthOffset + 1), QByteArray::fromHex("00312020 08"));
    QCOMPARE(frame.sliced(DataOffset), frameData);
}

QTEST_APPLESS_MAIN(TestCanMessage)
#include "tst_canmessage.moc"
