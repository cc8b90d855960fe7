// Both relay directions and the small handlers of the frame endpoints.
#include "framerelay.h"

#include "canmessage.h"
#include "eventpump.h"
#include "frametranslator.h"
#include "relaywindow.h"
#include "serialport.h"
#include "tcpconnection.h"
#include "tcplistener.h"
#include "udpsocket.h"

#include <algorithm>
#include <chrono>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// How far the serial line may fall behind the TCP client, and how much of the
// client's input is held meanwhile; beyond these the client is slowed down.
constexpr qint64 kSerialBacklog = 64 * 1024;
constexpr qint64 kClientBacklog = 64 * 1024;
// A started frame that gets no further byte for this many frame times is a fragment: a line
// that works delivers a frame's bytes back to back. Never sooner than the floor, because USB
// adapters hand bytes over in packets up to 16 ms apart and the event thread may be busy.
constexpr qint64 kFragmentPauseFrames = 20;
constexpr std::chrono::milliseconds kFragmentPauseFloor {100};
// Start bit, eight data bits, stop bit.
constexpr qint64 kBitsPerByte = 10;
constexpr qint64 kMillisecondsPerSecond = 1000;

std::chrono::milliseconds fragmentPause(qint32 baudRate)
{
    const qint64 frameMs = FrameSize * kBitsPerByte * kMillisecondsPerSecond / qMax(baudRate, 1);
    return std::max(kFragmentPauseFloor, std::chrono::milliseconds(kFragmentPauseFrames * frameMs));
}

} // namespace

FrameRelay::FrameRelay(SerialPort &MSComm1, TcpListener &TCPListen, TcpConnection &TCPClient,
                       UdpSocket &UDPListen, UdpSocket &UDPSend, RelayWindow &window, QObject *parent)
    : QObject(parent)
    , m_serial(MSComm1)
    , m_tcpListen(TCPListen)
    , m_tcpClient(TCPClient)
    , m_udpListen(UDPListen)
    , m_udpSend(UDPSend)
    , m_window(window)
    , m_client(TCPClient, window)
{
    connect(&m_serial, &SerialPort::received, this, &FrameRelay::MSComm1_OnComm);
    connect(&m_serial, &SerialPort::portOpened, this, &FrameRelay::onSerialOpened);
    // A started frame of a device that is gone can never be completed.
    connect(&m_serial, &SerialPort::deviceLost, this, [this] { m_serialStream.clear(); });
    connect(&m_serial, &SerialPort::written, this, &FrameRelay::relayClientFrames);
    // "Trennen" or an unplugged adapter: what the client sent so far is dropped with the link.
    connect(&m_serial, &SerialPort::portClosed, this, &FrameRelay::relayClientFrames);
    m_fragmentPause.setSingleShot(true);
    connect(&m_fragmentPause, &QTimer::timeout, this, &FrameRelay::onFragmentPause);
    m_tcpClient.setReceiveLimit(kClientBacklog);
    connect(&m_tcpClient, &TcpConnection::dataArrival, this, &FrameRelay::TCPListen_DataArrival);
    connect(&m_tcpListen, &TcpListener::connectionRequest, this, &FrameRelay::TCPListen_ConnectionRequest);
    // A client that has gone may have left input that still waits for the line.
    connect(&m_tcpClient, &TcpConnection::inputEnded, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpClient, &TcpConnection::failed, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpClient, &TcpConnection::released, this, &FrameRelay::onClientReleased);
    connect(&m_udpListen, &UdpSocket::dataArrival, this, &FrameRelay::UDPListen_DataArrival);
    connect(&m_udpSend, &UdpSocket::dataArrival, this, &FrameRelay::UDPSend_DataArrival);
}

void FrameRelay::MSComm1_OnComm()
{
    // Every whole frame is read at once, whatever the client does: a line that is not read
    // overflows in the adapter, and one lost byte puts every later frame out of step.
    const qint64 skipped = m_serialStream.skippedBytes();
    const QByteArray frames = m_serialStream.append(m_serial.readAll());
    reportSkippedSerialBytes(skipped);
    if (m_serialStream.pendingSize() == 0)
        m_fragmentPause.stop();
    else
        m_fragmentPause.start(fragmentPause(m_serial.baudRate()));
    if (frames.isEmpty() || !m_translator)
        return;
    QByteArray answers;
    answers.reserve(frames.size());
    for (qsizetype at = 0; at < frames.size(); at += FrameSize)
        answers += m_translator->CBefehl(QByteArray::fromRawData(frames.constData() + at, FrameSize));
    m_client.send(answers);
}

void FrameRelay::onFragmentPause()
{
    // Bytes that came meanwhile, read or not, show that the line did not pause. A closed port
    // is no pause either: what the system kept for it continues the frame on the next link.
    if (!m_serial.isOpen() || m_serial.waitingCount() > 0)
        return;
    const qint64 skipped = m_serialStream.skippedBytes();
    m_serialStream.pause();
    reportSkippedSerialBytes(skipped);
}

void FrameRelay::onSerialOpened()
{
    // Nothing kept for the port while it was closed: the device starts anew, not with the rest
    // of the frame the last link was reading.
    if (m_serial.waitingCount() == 0)
        m_serialStream.clear();
}

void FrameRelay::reportSkippedSerialBytes(qint64 before)
{
    if (m_serialStream.skippedBytes() == before)
        return;
    m_window.showLinkStatus(u"Serieller Datenstrom aus dem Takt, "_s
                            + QString::number(m_serialStream.skippedBytes()) + u" Bytes übersprungen"_s);
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
        m_tcpStream.discard(m_tcpClient.discardReceived());
        finishClientInput();
        return;
    }
    // A client faster than the serial line waits: its bytes stay in the socket
    // (and TCP slows it down) instead of piling up in memory.
    if (m_serial.pendingWrite() > kSerialBacklog)
        return;
    for (const QByteArray &frame : m_tcpStream.append(m_tcpClient.takeAll()))
        m_serial.write(frame);
    finishClientInput();
}

void FrameRelay::finishClientInput()
{
    // A half frame is dropped only once the last byte of its connection has been taken.
    if (m_tcpClient.atEnd() && m_tcpClient.waitingCount() == 0)
        m_tcpStream.clear();
}

void FrameRelay::onClientReleased()
{
    // "Schließen": what the client sent and the line has not written yet goes no further.
    m_serial.discardOutput();
    m_tcpStream.clear();
}

void FrameRelay::UDPListen_DataArrival()
{
    EventPump::runPending();
    m_window.showNetworkStatus(u"UDPListen: Daten erhalten"_s);
    const QByteArray data = m_udpListen.takeAll();
    if (data.size() >= FrameSize && data.size() % FrameSize == 0 && m_translator) {
        QByteArray answers;
        answers.reserve(data.size());
        for (qsizetype at = 0; at < data.size(); at += FrameSize)
            answers += m_translator->CAN_Retour(QByteArray::fromRawData(data.constData() + at, FrameSize));
        // Still one datagram per frame, and one text per frame sent; the system takes the
        // datagrams many at a time, and the client all frames in one piece.
        if (m_udpSend.state() == UdpSocket::Open) {
            m_udpSend.sendDatagrams(answers, FrameSize);
            for (qsizetype at = 0; at < answers.size(); at += FrameSize)
                m_window.showNetworkStatus(u"UDP:15730 gesendet"_s);
        }
        m_client.send(answers);
    }
    reportDroppedDatagrams();
}

void FrameRelay::reportDroppedDatagrams()
{
    const qint64 dropped = m_udpListen.takeDroppedDatagrams();
    if (dropped > 0 && m_droppedDatagrams == 0)
        m_window.showNetworkStatus(u"UDP-Eingang überlastet, Datagramme werden verworfen"_s);
    m_droppedDatagrams += dropped;
    // Caught up: nothing waits any more.
    if (m_droppedDatagrams == 0 || m_udpListen.datagramsWaiting())
        return;
    m_window.showNetworkStatus(u"UDP-Eingang wieder frei, "_s
                               + QString::number(std::exchange(m_droppedDatagrams, 0))
                               + u" Datagramme verworfen"_s);
}

void FrameRelay::TCPListen_ConnectionRequest(qint64 RequestID)
{
    EventPump::runPending();
    if (!m_tcpListen.isListening())
        return;
    // One client at a time: the endpoint stops listening while the connection lasts.
    m_tcpListen.close();
    m_tcpStream.clear();
    m_client.restart();
    m_tcpClient.accept(m_tcpListen, RequestID);
    // The digits are the window's own text, kept as users know it.
    m_window.showNetworkStatus(u"Anfrage über TCP:15371"_s);
}

void FrameRelay::UDPSend_DataArrival()
{
    m_window.showNetworkStatus(u"UDPSend: Daten erhalten"_s);
    m_udpSend.takeAll();
}
