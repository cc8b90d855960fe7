// An indexed array of sockets that grows at run time and reports events with the index.
#pragma once

#include "socket.h"

#include <QList>
#include <QObject>

class SocketArray : public QObject
{
    Q_OBJECT
public:
    // Element 0 exists from the start.
    explicit SocketArray(QObject *parent = nullptr);

    int highestIndex() const { return int(m_sockets.size()) - 1; }
    Socket *at(int index) const { return m_sockets.at(index); }
    // Creates the element with this index (the next one; the array never shrinks).
    Socket *create(int index);

signals:
    void dataArrival(int index, qint64 bytesTotal);
    void connectionRequest(int index, qint64 requestId);
    void sendProgress(int index, qint64 bytesSent);
    void sendComplete(int index);
    void inputEnded(int index);
    void closed(int index);

private:
    QList<Socket *> m_sockets;
};
