// One frame client on TCP 15731: its connection, the frame it has half sent, and what waits for it.
#include "frameclient.h"

#include "tcpconnection.h"

namespace {

// How much of a client's input is held while the serial line is behind; beyond it TCP slows
// the client down.
constexpr qint64 kInputBacklog = 64 * 1024;

} // namespace

FrameClient::FrameClient(TcpConnection &connection, RelayWindow &window, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_output(connection, window)
{
    m_connection.setReceiveLimit(kInputBacklog);
}

bool FrameClient::inputFinished() const
{
    return m_connection.atEnd() && m_connection.waitingCount() == 0;
}
