// Sets up and tears down the network side: the three frame endpoints and the HTTP listener.
#pragma once

#include <QList>
#include <QString>

#include <optional>

class HttpServer;
class SocketArray;
class TcpConnection;
class TcpListener;
class UdpSocket;

class NetworkEndpoints
{
public:
    enum class Endpoint { UdpReceive, UdpSend, Tcp, Http };

    // One endpoint that "Öffnen" could not set up. An HTTP port text that is no
    // usable port has no port and no reason.
    struct SetupFailure
    {
        Endpoint endpoint;
        std::optional<int> port;
        QString reason;
    };

    static constexpr quint16 FramePort = 15731;
    static constexpr quint16 EchoPort = 15730;

    // The sockets belong to the window; the HTTP server is told its name and
    // folder here and closes its own slots. TCPClient is the one connection TCPListen gave.
    NetworkEndpoints(UdpSocket &UDPListen, UdpSocket &UDPSend, TcpListener &TCPListen, TcpConnection &TCPClient,
                     SocketArray &Winsock1, HttpServer &http, QString programFolder);

    // "Öffnen" up to the HTTP listener: every endpoint that is closed is set up,
    // and events run after each. Handlers (another "Öffnen" among them) may run
    // in between, so each call reports only its own failures. No HTTP port:
    // the field's text named none.
    QList<SetupFailure> open(std::optional<quint16> httpPort);
    // "Schließen": the HTTP slots below the highest index, then UDPListen, UDPSend, TCPListen.
    void close();
    // Program end: the same slots, then UDPSend, UDPListen, TCPListen.
    void closeForShutdown();

    bool httpListening() const;
    bool udpOpen() const;

private:
    void closeHttpSlots();

    void closeFrameEndpoint();

    UdpSocket &m_udpListen;
    UdpSocket &m_udpSend;
    TcpListener &m_tcpListen;
    TcpConnection &m_tcpClient;
    SocketArray &m_winsock1;
    HttpServer &m_http;
    QString m_programFolder;
    QString PeerHost;
    qint16 m_framePort = 0;
};
