// What waits for one frame client: whole frames up to a bound; beyond it frames are dropped and counted.
#pragma once

#include <QByteArray>
#include <QObject>

class RelayWindow;
class TcpConnection;

class ClientFrameQueue : public QObject
{
    Q_OBJECT
public:
    // A frame client that reads slower than frames come holds at most this much; the system's
    // own buffer of the connection is kept small as well.
    static constexpr qint64 Bound = 1024 * 1024;

    ClientFrameQueue(TcpConnection &client, RelayWindow &window, QObject *parent = nullptr);

    // Frames back to back, handed to the system at once as far as it takes them; those that
    // do not fit in the bound are dropped whole. Nothing happens without a connected client.
    void send(const QByteArray &frames);
    // A new client: nothing dropped so far.
    void restart() { m_dropped = 0; }

private:
    void onClientReading();

    TcpConnection &m_client;
    RelayWindow &m_window;
    // Frames dropped since the client last caught up.
    qint64 m_dropped = 0;
};
