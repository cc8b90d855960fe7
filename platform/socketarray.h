// The HTTP server's sockets: element 0 listens, the others are connections accepted from it.
// The array grows at run time and reports events with the index.
#pragma once

#include "tcpconnection.h"
#include "tcplistener.h"

#include <QList>
#include <QObject>

class SocketArray : public QObject
{
    Q_OBJECT
public:
    explicit SocketArray(QObject *parent = nullptr);

    int highestIndex() const { return int(m_connections.size()); }
    TcpListener &listener() { return m_listener; }
    const TcpListener &listener() const { return m_listener; }
    // The connection with this index, from 1 on.
    TcpConnection *at(int index) const { return m_connections.at(index - 1); }
    // Creates the connection with this index (the next one; the array never shrinks).
    TcpConnection *create(int index);

signals:
    void dataArrival(int index, qint64 bytesTotal);
    void connectionRequest(qint64 requestId);
    void sendProgress(int index, qint64 bytesSent);
    void sendComplete(int index);
    void inputEnded(int index);
    void failed(int index);

private:
    TcpListener m_listener;
    QList<TcpConnection *> m_connections;
};
