// The link object: serial open and close, ping and wait, frame translation, settings.
#include "can.h"

#include "canmessage.h"
#include "deviceidentification.h"
#include "eventpump.h"
#include "filesystem.h"
#include "linkwindow.h"
#include "numbertext.h"
#include "serialport.h"
#include "settingsfile.h"

#include <QFile>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint16 kDefaultTimeOut = 2;
constexpr int kWaitSleepMs = 10;
constexpr quint8 kRewrittenTypeByte = 0xEE;
constexpr qsizetype kTypeOffset = 11; // frame bytes 12 and 13

} // namespace

CAN::CAN(SerialPort &MSComm1, LinkWindow &window, QString iniPath)
    : m_serial(MSComm1)
    , m_window(window)
    , m_iniPath(std::move(iniPath))
{
}

QString CAN::COM_Speed() const
{
    return numberToText(Baud_Rate);
}

bool CAN::setCOM_Speed(const QString &vNewValue)
{
    const std::optional<qint32> speed = baudRateFromText(vNewValue);
    if (!speed)
        return false;
    Baud_Rate = *speed;
    return true;
}

QString CAN::Verbinden()
{
    const QString failure = u"Fehler beim Öffnen von COM"_s + Port_Nr;
    const std::optional<int> portNumber = roundToRange(
        leadingNumber(Port_Nr), std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max());
    if (!portNumber)
        return failure;
    m_serial.setPortNumber(*portNumber);
    if (!m_serial.setSettings(numberToText(Baud_Rate) + u",N,8,1"_s))
        return failure;
    m_serial.setRts(true);
    m_serial.setRtsCtsHandshake(true);
    if (!m_serial.open())
        return failure;
    Verbunden = true;
    return u"Verbindung an COM"_s + Port_Nr + u" öffnen"_s;
}

QString CAN::Trennen()
{
    Verbunden = false;
    m_serial.close();
    return u"Verbindung getrennt"_s;
}

QByteArray CAN::CBefehl(const QByteArray &Meldung)
{
    // Frames pass whole: a 0x20 at either end is data, not padding.
    if (Meldung.isEmpty() || Meldung.size() % FrameSize != 0)
        return Meldung;
    const QByteArray frame = Meldung.first(FrameSize);
    if (quint8(frame[LengthOffset]) != PingAnswerLength || !isPingFrame(frame))
        return Meldung; // only a ping answer touches the answer code
    const DeviceIdentification device = identifyDevice(frame);
    Device_Type = device.deviceType;
    if (device.identified)
        Device_ID = device.deviceId;
    m_window.showLinkStatus(device.label);

    QByteArray result = frame;
    result[kTypeOffset] = char(kRewrittenTypeByte);
    result[kTypeOffset + 1] = char(kRewrittenTypeByte);
    m_window.setControlEnabled(LinkWindow::Control::Command4, false);
    m_window.setControlEnabled(LinkWindow::Control::Command5, true);
    Answer_Code = device.identified ? Answered : Failed;
    return result;
}

QByteArray CAN::CAN_Retour(const QByteArray &Meldung)
{
    if (Meldung.isEmpty() || Meldung.size() % FrameSize != 0)
        return Meldung;
    const std::optional<DecodedFrame> decoded = decodeFrame(Meldung);
    if (!decoded || decoded->Cmd != PingCommand || decoded->Resp != RespAnswer)
        return Meldung;
    // A ping answer goes back out as the ping request it answers.
    ID_Bits = identBuildText(GatewayPingPrio, PingCommand, RespRequest, decoded->Hash);
    return buildFrame(ID_Bits, 0, QByteArrayView(Meldung).sliced(DataOffset, DataSize));
}

qint32 CAN::Command_Execute(const QString &Device, qint16 &TimeOut)
{
    QByteArray data;
    bool wait = false;
    if (Device == u"Ping"_s) {
        wait = true;
        ID_Bits = fieldBitText(GatewayPingPrio, PrioWidth) + Byte_To_Bin(PingCommand) + RespRequest
            + hashBitText(GatewayPingHash);
        data = buildFrame(ID_Bits, 0, {});
    }
    if (Send_And_Wait(data, wait, TimeOut) == Failed) {
        // An adapter unplugged during the wait has ended the link as "Trennen" does; that state stays.
        if (!Verbunden)
            return Failed;
        m_window.setControlEnabled(LinkWindow::Control::Command4, true);
        m_window.setControlEnabled(LinkWindow::Control::Command5, false);
        m_window.showLinkStatus(u"keine Verbindung"_s);
        return Failed;
    }
    return Answer_Code;
}

qint16 CAN::Send_And_Wait(const QByteArray &data, bool wait, qint16 &TimeOut)
{
    if (TimeOut == 0)
        TimeOut = kDefaultTimeOut;
    Answer_Code = NoAnswer;
    m_abortWait = false;
    // A write that fails (port gone) can never be answered.
    if (!data.isEmpty() && !m_serial.write(data))
        return Failed;
    const qint64 start = EventPump::nowSeconds();
    for (;;) {
        if (!wait || Answer_Code != NoAnswer)
            return qint16(Answer_Code);
        if (EventPump::nowSeconds() - start > TimeOut || m_abortWait || !m_serial.isOpen())
            return Failed;
        EventPump::sleepMs(kWaitSleepMs);
        EventPump::runPending();
    }
}

void CAN::ini_lesen()
{
    // Only a regular file of a few lines is read, and never in a way that could
    // block (a fifo) or run without end (a device): anything else keeps the
    // values the object has, as a missing file does.
    if (const std::optional<QByteArray> bytes
        = FileSystem::readSmallRegularFile(QFile::encodeName(m_iniPath), MaximumSettingsFileBytes)) {
        const LinkSettings settings = parseSettings(*bytes);
        if (settings.portText)
            Port_Nr = *settings.portText;
        if (settings.speed)
            Baud_Rate = *settings.speed;
    }
    const QString wanted = u"COM"_s + Port_Nr;
    for (int index = 0; index < m_window.comboCount(); ++index) {
        if (m_window.comboEntry(index) == wanted)
            m_window.setComboSelectedIndex(index);
    }
    m_window.setBaudText(COM_Speed());
}

void CAN::ini_Schreiben()
{
    const QByteArray path = QFile::encodeName(m_iniPath);
    const QByteArray bytes = settingsBytes(Port_Nr, COM_Speed());
    // Settings that are saved already stay as they are: an unattended start applies what it read
    // at every start, and a file pinned read-only with these very values is no failure.
    if (FileSystem::readSmallRegularFile(path, MaximumSettingsFileBytes) == bytes)
        return;
    // Every write and the flush are checked before the old file is replaced.
    const int error = FileSystem::replaceFileContent(path, bytes);
    if (error != 0)
        m_window.showLinkStatus(saveFailureText(error));
}
