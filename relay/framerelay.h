// Moves frames between the serial link and the frame endpoints, both directions.
#pragma once

#include "serialframestream.h"

#include <QList>
#include <QObject>
#include <QTimer>

class FrameClient;
class FrameTranslator;
class RelayWindow;
class SerialPort;
class TcpConnection;
class TcpListener;
class UdpSocket;

class FrameRelay : public QObject
{
    Q_OBJECT
public:
    FrameRelay(SerialPort &MSComm1, TcpListener &TCPListen, TcpConnection &TCPClient, UdpSocket &UDPListen,
               UdpSocket &UDPSend,
               RelayWindow &window, QObject *parent = nullptr);

    // Until the link object exists, frames that need it are dropped.
    void setTranslator(FrameTranslator *translator) { m_translator = translator; }
    // Above 1, TCPListen keeps listening and up to this many clients are served at once, each on
    // a connection of its own; at 1 the endpoint itself becomes the one client's connection.
    void setMostClients(int most);
    // "Schließen" and the program's end: the clients' own connections close with the endpoint.
    void closeClients();

    void MSComm1_OnComm();
    void TCPListen_DataArrival();
    void UDPListen_DataArrival();
    void TCPListen_ConnectionRequest(qint64 RequestID);
    void UDPSend_DataArrival();

private:
    bool servesSeveral() const { return m_mostClients > 1; }
    void acceptAnotherClient(qint64 requestId);
    void relayClientFrames();
    void takeClientFrames(FrameClient &client);
    void letFinishedClientsGo();
    void removeClient(FrameClient *client);
    void sendToClients(const QByteArray &frames);
    void showClientCount(const QString &what);
    void onClientReleased();
    void onSerialOpened();
    void onFragmentPause();
    void reportSkippedSerialBytes(qint64 before);
    void reportDroppedDatagrams();

    SerialPort &m_serial;
    TcpListener &m_tcpListen;
    TcpConnection &m_tcpClient;
    UdpSocket &m_udpListen;
    UdpSocket &m_udpSend;
    RelayWindow &m_window;
    FrameTranslator *m_translator = nullptr;
    // The serial line's bytes: whole frames out, a started frame kept, step regained.
    SerialFrameStream m_serialStream;
    // Runs while a started frame waits for its rest; when it runs out, the frame is a fragment.
    QTimer m_fragmentPause;
    int m_mostClients = 1;
    // The one client's side of the endpoint that becomes its connection.
    FrameClient *m_endpointClient;
    // Every frame client: with one, the endpoint's (present whether connected or not).
    QList<FrameClient *> m_clients;
    // Where the next turn at the serial line starts, so that no client crowds out the others.
    qsizetype m_nextTurn = 0;
    // Datagrams dropped since the UDP input last caught up.
    qint64 m_droppedDatagrams = 0;
};
