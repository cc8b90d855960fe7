// Moves frames between the serial link and the frame endpoints, both directions.
#pragma once

#include "clientframequeue.h"
#include "framestream.h"
#include "serialframestream.h"

#include <QObject>
#include <QTimer>

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

    void MSComm1_OnComm();
    void TCPListen_DataArrival();
    void UDPListen_DataArrival();
    void TCPListen_ConnectionRequest(qint64 RequestID);
    void UDPSend_DataArrival();

private:
    void relayClientFrames();
    void finishClientInput();
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
    // The TCP client's byte stream: frames split across arrivals are completed here.
    FrameStream m_tcpStream;
    // What waits for the TCP client.
    ClientFrameQueue m_client;
    // Datagrams dropped since the UDP input last caught up.
    qint64 m_droppedDatagrams = 0;
};
