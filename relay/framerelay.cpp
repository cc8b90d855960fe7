// Both relay directions and the small handlers of the frame endpoints.
#include "framerelay.h"

#include "canmessage.h"
#include "eventpump.h"
#include "frameclient.h"
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

// How far the serial line may fall behind the TCP clients; beyond it their input waits in
// their sockets and TCP slows them down.
constexpr qint64 kSerialBacklog = 64 * 1024;
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
    , m_endpointClient(new FrameClient(TCPClient, window, this))
    , m_clients {m_endpointClient}
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
    connect(&m_tcpClient, &TcpConnection::dataArrival, this, &FrameRelay::TCPListen_DataArrival);
    connect(&m_tcpListen, &TcpListener::connectionRequest, this, &FrameRelay::TCPListen_ConnectionRequest);
    // A client that has gone may have left input that still waits for the line.
    connect(&m_tcpClient, &TcpConnection::inputEnded, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpClient, &TcpConnection::failed, this, &FrameRelay::relayClientFrames);
    connect(&m_tcpClient, &TcpConnection::released, this, &FrameRelay::onClientReleased);
    connect(&m_udpListen, &UdpSocket::dataArrival, this, &FrameRelay::UDPListen_DataArrival);
    connect(&m_udpSend, &UdpSocket::dataArrival, this, &FrameRelay::UDPSend_DataArrival);
}

void FrameRelay::setMostClients(int most)
{
    m_mostClients = most;
    m_clients = servesSeveral() ? QList<FrameClient *>() : QList<FrameClient *> {m_endpointClient};
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
    sendToClients(answers);
}

void FrameRelay::sendToClients(const QByteArray &frames)
{
    for (FrameClient *client : std::as_const(m_clients))
        client->output().send(frames);
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
    // Each client in turn, whole frames only: the line never gets a frame cut by another's.
    const qsizetype count = m_clients.size();
    for (qsizetype turn = 0; turn < count; ++turn)
        takeClientFrames(*m_clients[(m_nextTurn + turn) % count]);
    m_nextTurn = count > 0 ? (m_nextTurn + 1) % count : 0;
    letFinishedClientsGo();
}

void FrameRelay::takeClientFrames(FrameClient &client)
{
    if (!m_serial.isOpen()) {
        // Nobody to hand the frames to, and none of them may reach a later link.
        client.input().discard(client.connection().discardReceived());
    } else if (m_serial.pendingWrite() <= kSerialBacklog) {
        // A client faster than the serial line waits: its bytes stay in the socket
        // (and TCP slows it down) instead of piling up in memory.
        for (const QByteArray &frame : client.input().append(client.connection().takeAll()))
            m_serial.write(frame);
    }
    // A half frame is dropped only once the last byte of its connection has been taken.
    if (client.inputFinished())
        client.input().clear();
}

void FrameRelay::letFinishedClientsGo()
{
    if (!servesSeveral())
        return;
    // A client that sends no more, or whose connection failed, frees its place for the next.
    const QList<FrameClient *> clients = m_clients;
    for (FrameClient *client : clients) {
        if (client->inputFinished() || client->connection().state() != TcpConnection::Connected) {
            removeClient(client);
            showClientCount(u"TCP-Client gegangen"_s);
        }
    }
}

void FrameRelay::removeClient(FrameClient *client)
{
    m_clients.removeOne(client);
    TcpConnection &connection = client->connection();
    connection.disconnect(this);
    connection.close();
    // Not freed here: this may run inside one of the connection's own signals. The client's
    // side goes with it.
    connection.deleteLater();
}

void FrameRelay::closeClients()
{
    if (!servesSeveral() || m_clients.isEmpty())
        return;
    // What they sent and the line has not written yet goes no further.
    m_serial.discardOutput();
    const QList<FrameClient *> clients = m_clients;
    for (FrameClient *client : clients)
        removeClient(client);
}

void FrameRelay::onClientReleased()
{
    // "Schließen": what the client sent and the line has not written yet goes no further.
    m_serial.discardOutput();
    m_endpointClient->input().clear();
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
        sendToClients(answers);
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
    if (servesSeveral()) {
        acceptAnotherClient(RequestID);
        return;
    }
    // One client at a time: the endpoint stops listening while the connection lasts.
    m_tcpListen.close();
    m_endpointClient->input().clear();
    m_endpointClient->output().restart();
    m_tcpClient.accept(m_tcpListen, RequestID);
    // The digits are the window's own text, kept as users know it.
    m_window.showNetworkStatus(u"Anfrage über TCP:15371"_s);
}

void FrameRelay::acceptAnotherClient(qint64 requestId)
{
    if (m_clients.size() >= m_mostClients) {
        // Not taken: the listener closes it once this handler returns, so that it does not wait
        // for an answer that never comes.
        showClientCount(u"TCP-Client abgewiesen"_s);
        return;
    }
    auto *connection = new TcpConnection(this);
    auto *client = new FrameClient(*connection, m_window, connection);
    if (!connection->accept(m_tcpListen, requestId)) {
        connection->deleteLater();
        return;
    }
    m_clients.append(client);
    connect(connection, &TcpConnection::dataArrival, this, &FrameRelay::TCPListen_DataArrival);
    connect(connection, &TcpConnection::inputEnded, this, &FrameRelay::relayClientFrames);
    connect(connection, &TcpConnection::failed, this, &FrameRelay::relayClientFrames);
    showClientCount(u"Anfrage über TCP:15371"_s);
}

void FrameRelay::showClientCount(const QString &what)
{
    m_window.showNetworkStatus(what + u", "_s + QString::number(m_clients.size()) + u" von "_s
                               + QString::number(m_mostClients) + u" Clients verbunden"_s);
}

void FrameRelay::UDPSend_DataArrival()
{
    m_window.showNetworkStatus(u"UDPSend: Daten erhalten"_s);
    m_udpSend.takeAll();
}
