// A TCP listener that offers each waiting connection under a request id.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

class TcpListener : public QObject
{
    Q_OBJECT
public:
    explicit TcpListener(QObject *parent = nullptr);
    ~TcpListener() override;

    void setLocalPort(quint16 port) { m_localPort = port; }
    // The port listened on (the one the system chose for port 0).
    quint16 localPort() const { return m_localPort; }
    // Listens on the local port on every IPv4 address.
    bool listen();
    bool isListening() const { return m_fd >= 0; }
    // Whether waiting connections are taken; while not, they wait in the system's queue.
    void setAccepting(bool accepting);
    // The descriptor of the request being offered, now the caller's; -1 when it is gone.
    int takeRequest(qint64 requestId);
    void close();

    QString errorString() const { return m_error; }

signals:
    // Handled at once: a request still untaken when the handler returns is refused.
    void connectionRequest(qint64 requestId);

private:
    void acceptWaiting();
    void pauseAccepting();
    void updateWatching();

    quint16 m_localPort = 0;
    int m_fd = -1;
    QString m_error;
    QSocketNotifier *m_readable = nullptr;
    // Out of descriptors: accepting again at once would fail again at once.
    bool m_paused = false;
    bool m_held = false;
    // Set while requests are offered: a handler that lets events run holds no nested loop.
    bool m_offering = false;
    qint64 m_lastRequestId = 0;
    // The request being offered; the connection is kept apart from the listening descriptor, so
    // a handler that closes the listener before accepting (the frame endpoint does) loses nothing.
    int m_offered = -1;
};
