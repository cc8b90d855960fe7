// The bounded queue of one frame client and the texts that report what it dropped.
#include "clientframequeue.h"

#include "canmessage.h"
#include "relaywindow.h"
#include "tcpconnection.h"

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// Dropping is reported as over once the queue has half emptied again.
constexpr qint64 ReadingAgain = ClientFrameQueue::Bound / 2;

} // namespace

ClientFrameQueue::ClientFrameQueue(TcpConnection &client, RelayWindow &window, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_window(window)
{
    m_client.setSendLimit(Bound);
    // Frames are small and each one counts for the trains: none waits for the acknowledgement of
    // the one before.
    m_client.setSendWithoutDelay(true);
    connect(&m_client, &TcpConnection::sendProgress, this, &ClientFrameQueue::onClientReading);
}

void ClientFrameQueue::send(const QByteArray &frames)
{
    if (frames.isEmpty() || m_client.state() != TcpConnection::Connected)
        return;
    const qint64 room = (Bound - m_client.bytesToWrite()) / FrameSize * FrameSize;
    const qsizetype taken = qBound<qint64>(0, room, frames.size());
    if (taken > 0)
        m_client.send(taken == frames.size() ? frames : frames.first(taken));
    if (taken == frames.size()) {
        // All of it found room: a drop reported before may be over.
        onClientReading();
        return;
    }
    if (m_dropped == 0)
        m_window.showNetworkStatus(u"TCP-Client liest nicht, Frames werden verworfen"_s);
    m_dropped += (frames.size() - taken) / FrameSize;
}

void ClientFrameQueue::onClientReading()
{
    if (m_dropped == 0 || m_client.bytesToWrite() > ReadingAgain)
        return;
    m_window.showNetworkStatus(u"TCP-Client liest wieder, "_s + QString::number(std::exchange(m_dropped, 0))
                               + u" Frames verworfen"_s);
}
