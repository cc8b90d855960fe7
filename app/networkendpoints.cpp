// The set-up steps of "Öffnen" and the close steps of "Schließen" and of the program's end.
#include "networkendpoints.h"

#include "eventpump.h"
#include "httpserver.h"
#include "socketarray.h"
#include "udpsocket.h"

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kDefaultPeerHost = u"localhost"_s;
const QString kServerName = u"Lorvane HTTP Server Version 1.00"_s;

} // namespace

NetworkEndpoints::NetworkEndpoints(UdpSocket &UDPListen, UdpSocket &UDPSend, TcpListener &TCPListen,
                                   TcpConnection &TCPClient, SocketArray &Winsock1, HttpServer &http,
                                   QString programFolder)
    : m_udpListen(UDPListen)
    , m_udpSend(UDPSend)
    , m_tcpListen(TCPListen)
    , m_tcpClient(TCPClient)
    , m_winsock1(Winsock1)
    , m_http(http)
    , m_programFolder(std::move(programFolder))
{
}

QList<NetworkEndpoints::SetupFailure> NetworkEndpoints::open(std::optional<quint16> httpPort)
{
    QList<SetupFailure> failures;
    m_http.setServerName(kServerName);
    if (m_http.WebRoot().isEmpty())
        m_http.setWebRoot(m_programFolder);
    if (PeerHost.isEmpty())
        PeerHost = kDefaultPeerHost;

    if (m_udpListen.state() == UdpSocket::Closed) {
        m_framePort = qint16(FramePort);
        if (!m_udpListen.bind(FramePort, PeerHost))
            failures.append({Endpoint::UdpReceive, FramePort, m_udpListen.errorString()});
        EventPump::runPending();
    }
    if (m_udpSend.state() == UdpSocket::Closed) {
        if (!m_udpSend.setDestination(PeerHost, EchoPort))
            failures.append({Endpoint::UdpSend, EchoPort, m_udpSend.errorString()});
        EventPump::runPending();
    }
    // One client until "Schließen": while it is connected (or failed) nothing listens.
    if (!m_tcpListen.isListening() && m_tcpClient.state() == TcpConnection::Closed) {
        m_tcpListen.setLocalPort(quint16(m_framePort));
        if (!m_tcpListen.listen())
            failures.append({Endpoint::Tcp, quint16(m_framePort), m_tcpListen.errorString()});
        EventPump::runPending();
    }
    TcpListener &listener = m_winsock1.listener();
    if (!listener.isListening()) {
        if (!httpPort) {
            failures.append({Endpoint::Http, std::nullopt, QString()});
        } else {
            listener.setLocalPort(*httpPort);
            if (!listener.listen())
                failures.append({Endpoint::Http, *httpPort, listener.errorString()});
        }
        EventPump::runPending();
    }
    return failures;
}

bool NetworkEndpoints::httpListening() const
{
    return m_winsock1.listener().isListening();
}

bool NetworkEndpoints::udpOpen() const
{
    return m_udpListen.state() == UdpSocket::Open;
}

void NetworkEndpoints::close()
{
    closeHttpSlots();
    m_udpListen.close();
    m_udpSend.close();
    closeFrameEndpoint();
}

void NetworkEndpoints::closeForShutdown()
{
    closeHttpSlots();
    m_udpSend.close();
    m_udpListen.close();
    closeFrameEndpoint();
}

void NetworkEndpoints::closeFrameEndpoint()
{
    m_tcpListen.close();
    m_tcpClient.close();
}

void NetworkEndpoints::closeHttpSlots()
{
    // Up to one below the highest index: the newest slot is left open. The
    // bound is read again each turn, since closing lets events run and a
    // connection accepted meanwhile adds a slot.
    for (int index = 0; index < m_winsock1.highestIndex(); ++index)
        m_http.WinSock1_Close(index);
}
