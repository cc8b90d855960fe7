// Moves frames between the serial link and the frame endpoints, both directions.
#pragma once

#include "framestream.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class FrameTranslator;
class RelayWindow;
class SerialPort;
class Socket;

class FrameRelay : public QObject
{
    Q_OBJECT
public:
    FrameRelay(SerialPort &MSComm1, Socket &TCPListen, Socket &UDPListen, Socket &UDPSend,
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
    void sendToClient(const QByteArray &frame);
    void onClientReading();
    bool clientKeepsReading() const;
    void holdSerialInput();

    SerialPort &m_serial;
    Socket &m_tcpListen;
    Socket &m_udpListen;
    Socket &m_udpSend;
    RelayWindow &m_window;
    FrameTranslator *m_translator = nullptr;
    // The TCP client's byte stream: frames split across arrivals are completed here.
    FrameStream m_tcpStream;
    // Frames a TCP client did not read in time, since it last read.
    qint64 m_droppedFrames = 0;
    // Since the TCP client last took bytes; a client that keeps taking them is waited for.
    QElapsedTimer m_clientProgress;
    // Whole frames left in the serial port for a client that is behind; looked at again when
    // it takes more, or when it has taken nothing for a while.
    bool m_serialHeld = false;
    QTimer m_heldInputCheck;
};
