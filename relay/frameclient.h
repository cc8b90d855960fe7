// One frame client on TCP 15731: its connection, the frame it has half sent, and what waits for it.
#pragma once

#include "clientframequeue.h"
#include "framestream.h"

#include <QObject>

class RelayWindow;
class TcpConnection;

class FrameClient : public QObject
{
    Q_OBJECT
public:
    // The connection is the client's own, or the endpoint that became it; it stays the caller's.
    FrameClient(TcpConnection &connection, RelayWindow &window, QObject *parent = nullptr);

    TcpConnection &connection() { return m_connection; }
    // The client's bytes, cut into whole frames; a started frame waits for its rest.
    FrameStream &input() { return m_input; }
    // Frames for the client, bounded; beyond the bound whole frames are dropped and counted.
    ClientFrameQueue &output() { return m_output; }
    // Everything the client sent has been taken: it will send no more.
    bool inputFinished() const;

private:
    TcpConnection &m_connection;
    FrameStream m_input;
    ClientFrameQueue m_output;
};
