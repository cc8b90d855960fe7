// Both relay directions and the small handlers of the frame endpoints.
#include "framerelay.h"

#include "canmessage.h"
#include "eventpump.h"
#include "frametranslator.h"
#include "relaywindow.h"
#include "serialport.h"
#include "socket.h"

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// How far the serial line may fall behind the TCP client, and how much of the
// client's input is held meanwhile; beyond these the client is slowed down.
constexpr qint64 kSerialBacklog = 64 * 1024;
constexpr qint64 kClientBacklog = 64 * 1024;
// How much may wait for a TCP client that reads slower than frames come; beyond it
// whole frames are dropped. Dropping is reported again once half of it has gone out.
constexpr qint64 kClientOutputLimit = 1024 * 1024;
constexpr qint64 kClientReadingAgain = kClientOutputLimit / 2;
// A client that took nothing for this long while frames wait for it counts as not reading.
constexpr std::chrono::milliseconds kClientStallLimit {1000};

} // namespace

FrameRelay::FrameRelay(SerialPort &MSComm1, Socket &TCPListen, Socket &UDPListen, Socket &UDPSend,
                       RelayWindow &window, QObject *parent)
    : QObject(parent)
    , m_serial(MSComm1)
    , m_tcpListen(TCPListen)
    , m_udpListen(UDPListen)
    , m_udpSend(UDPSend)
    , m_window(window)
{
    connect(&m_serial, &SerialPort::received, this, &FrameRelay::MSComm1_OnComm);
    connect(&m_serial, &SerialPort::written, this, &FrameRelay::relayClientFrames);
    // "Trennen" or an unplugged adapter: what the client sent so far is dropped with the link.
    connect(&m_serial, &SerialPort::portClosed, this, &FrameRelay::relayClientFrames);
    m_tcpListen.setReceiveLimit(kClientBacklog);
    m_tcpListen.setSendLimit(kClientOutputLimit);
    connect(&m_tcpListen, &Socket::dataArrival, this, &FrameRelay::TCPListen_DataArrival);
    connect(&m_tcpListen, &Socket::connectionRequest, this, &FrameRelay::TCPListen_ConnectionRequest);
    // A client that has gone may have left input that still waits for the line.
    connect(&m_tcpListen, &Socket::inputEnded, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpListen, &Socket::closed, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpListen, &Socket::released, this, &FrameRelay::onClientReleased);
    connect(&m_tcpListen, &Socket::sendProgress, this, &FrameRelay::onClientReading);
    connect(&m_udpListen, &Socket::dataArrival, this, &FrameRelay::UDPListen_DataArrival);
    connect(&m_udpSend, &Socket::dataArrival, this, &FrameRelay::UDPSend_DataArrival);
    m_heldInputCheck.setSingleShot(true);
    connect(&m_heldInputCheck, &QTimer::timeout, this, &FrameRelay::MSComm1_OnComm);
}

void FrameRelay::MSComm1_OnComm()
{
    // Only whole frames are read; a started frame waits in the port for its rest.
    const qint64 waiting = m_serial.waitingCount() / FrameSize;
    qint64 frames = waiting;
    if (frames == 0 || !m_translator)
        return;
    // A client that reads, only slower than the frames come, loses none of them: what it has
    // no room for yet stays in the port (and the line's handshake holds the rest back).
    if (clientKeepsReading())
        frames = qMin(frames, (kClientOutputLimit - m_tcpListen.bytesToWrite()) / FrameSize);
    m_serialHeld = frames < waiting;
    if (m_serialHeld)
        holdSerialInput();
    if (frames <= 0)
        return;
    const QByteArray text = m_serial.read(frames * FrameSize);
    for (qsizetype at = 0; at + FrameSize <= text.size(); at += FrameSize)
        sendToClient(m_translator->CBefehl(text.mid(at, FrameSize)));
}

void FrameRelay::TCPListen_DataArrival()
{
    EventPump::runPending();
    m_window.showNetworkStatus(u"TCPListen: Daten erhalten"_s);
    relayClientFrames();
}

void FrameRelay::relayClientFrames()
{
    if (!m_serial.isOpen()) {
        // Nobody to hand the frames to, and none of them may reach a later link.
        m_tcpStream.discard(m_tcpListen.discardReceived());
        finishClientInput();
        return;
    }
    // A client faster than the serial line waits: its bytes stay in the socket
    // (and TCP slows it down) instead of piling up in memory.
    if (m_serial.pendingWrite() > kSerialBacklog)
        return;
    for (const QByteArray &frame : m_tcpStream.append(m_tcpListen.takeAll()))
        m_serial.write(frame);
    finishClientInput();
}

void FrameRelay::finishClientInput()
{
    // A half frame is dropped only once the last byte of its connection has been taken.
    if (m_tcpListen.atEnd() && m_tcpListen.waitingCount() == 0)
        m_tcpStream.clear();
}

void FrameRelay::onClientReleased()
{
    // "Schließen": what the client sent and the line has not written yet goes no further.
    m_serial.discardOutput();
    m_tcpStream.clear();
}

void FrameRelay::sendToClient(const QByteArray &frame)
{
    if (m_tcpListen.state() != Socket::Connected || m_tcpListen.send(frame) >= 0)
        return;
    // The client does not read: whole frames are dropped, never part of one, and counted.
    if (m_droppedFrames++ == 0)
        m_window.showNetworkStatus(u"TCP-Client liest nicht, Frames werden verworfen"_s);
}

bool FrameRelay::clientKeepsReading() const
{
    return m_tcpListen.state() == Socket::Connected && m_clientProgress.isValid()
        && m_clientProgress.elapsed() < kClientStallLimit.count();
}

void FrameRelay::holdSerialInput()
{
    // Once the client has taken nothing for the stall limit, the frames are read and dropped
    // instead, so that a client that stopped reading cannot stall the link (and its ping).
    const qint64 left = kClientStallLimit.count() - m_clientProgress.elapsed();
    m_heldInputCheck.start(int(qMax<qint64>(left, 1)));
}

void FrameRelay::onClientReading()
{
    m_clientProgress.restart();
    if (m_serialHeld)
        MSComm1_OnComm();
    if (m_droppedFrames == 0 || m_tcpListen.bytesToWrite() > kClientReadingAgain)
        return;
    m_window.showNetworkStatus(u"TCP-Client liest wieder, "_s
                               + QString::number(std::exchange(m_droppedFrames, 0)) + u" Frames verworfen"_s);
}

void FrameRelay::UDPListen_DataArrival()
{
    EventPump::runPending();
    m_window.showNetworkStatus(u"UDPListen: Daten erhalten"_s);
    const QByteArray data = m_udpListen.takeAll();
    if (data.size() < FrameSize || data.size() % FrameSize != 0 || !m_translator)
        return;
    for (qsizetype at = 0; at < data.size(); at += FrameSize) {
        const QByteArray answer = m_translator->CAN_Retour(data.mid(at, FrameSize));
        if (m_udpSend.state() == Socket::Open) {
            m_udpSend.send(answer);
            m_window.showNetworkStatus(u"UDP:15730 gesendet"_s);
        }
        sendToClient(answer);
    }
}

void FrameRelay::TCPListen_ConnectionRequest(qint64 RequestID)
{
    EventPump::runPending();
    if (m_tcpListen.state() != Socket::Listening)
        return;
    // One client at a time: the endpoint stops listening and becomes the connection.
    m_tcpListen.close();
    m_tcpStream.clear();
    m_droppedFrames = 0;
    m_tcpListen.accept(RequestID);
    m_clientProgress.restart();
    // The digits are the window's own text, kept as users know it.
    m_window.showNetworkStatus(u"Anfrage über TCP:15371"_s);
}

void FrameRelay::UDPSend_DataArrival()
{
    m_window.showNetworkStatus(u"UDPSend: Daten erhalten"_s);
    m_udpSend.takeAll();
}
