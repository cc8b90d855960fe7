// The listener over a non-blocking descriptor: the system's own accept queue at its largest,
// a pause when descriptors run out, and a rest while the owner wants no more connections.
#include "tcplistener.h"

#include "socketcalls.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <utility>

namespace {

// Connections taken per readiness before other events get their turn.
constexpr int MostAcceptsPerPass = 64;
// Out of descriptors, the listener tries again after this pause; the clients wait in the backlog.
constexpr int AcceptRetryMs = 50;

} // namespace

TcpListener::TcpListener(QObject *parent)
    : QObject(parent)
{
}

TcpListener::~TcpListener()
{
    close();
}

bool TcpListener::listen()
{
    close();
    const SocketCalls::Opened listener = SocketCalls::tcpListener(m_localPort);
    if (listener.fd < 0) {
        m_error = SocketCalls::describe(listener.error);
        return false;
    }
    m_fd = listener.fd;
    m_localPort = SocketCalls::boundPort(m_fd);
    // A notifier per descriptor: the system may hand a closed one's number to the next socket.
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readable, &QSocketNotifier::activated, this, &TcpListener::acceptWaiting);
    updateWatching();
    return true;
}

void TcpListener::close()
{
    if (m_fd < 0)
        return;
    // Deleted later: close() may come from a handler inside this notifier's own signal.
    m_readable->setEnabled(false);
    std::exchange(m_readable, nullptr)->deleteLater();
    SocketCalls::closeDescriptor(std::exchange(m_fd, -1));
    m_paused = false;
}

void TcpListener::setAccepting(bool accepting)
{
    m_held = !accepting;
    updateWatching();
}

void TcpListener::updateWatching()
{
    if (m_readable)
        m_readable->setEnabled(!m_paused && !m_held && !m_offering);
}

void TcpListener::acceptWaiting()
{
    m_offering = true;
    updateWatching();
    const int listening = m_fd;
    for (int taken = 0; taken < MostAcceptsPerPass && m_fd == listening && m_fd >= 0 && !m_held; ++taken) {
        const SocketCalls::Opened connection = SocketCalls::acceptConnection(m_fd);
        if (connection.fd < 0) {
            // A connection reset before it was taken costs nothing; the next may be fine.
            if (connection.error == ECONNABORTED || connection.error == EPROTO)
                continue;
            if (SocketCalls::outOfDescriptors(connection.error))
                pauseAccepting();
            break;
        }
        m_offered = connection.fd;
        emit connectionRequest(++m_lastRequestId);
        // A request nobody accepted is refused rather than left hanging.
        SocketCalls::closeDescriptor(std::exchange(m_offered, -1));
    }
    m_offering = false;
    updateWatching();
}

int TcpListener::takeRequest(qint64 requestId)
{
    return requestId == m_lastRequestId ? std::exchange(m_offered, -1) : -1;
}

void TcpListener::pauseAccepting()
{
    m_paused = true;
    QTimer::singleShot(AcceptRetryMs, this, [this] {
        m_paused = false;
        updateWatching();
    });
}
