// The growing socket array.
#include "socketarray.h"

SocketArray::SocketArray(QObject *parent)
    : QObject(parent)
{
    create(0);
}

Socket *SocketArray::create(int index)
{
    Q_ASSERT(index == m_sockets.size());
    auto *socket = new Socket(this);
    m_sockets.append(socket);
    connect(socket, &Socket::dataArrival, this,
            [this, index](qint64 bytes) { emit dataArrival(index, bytes); });
    connect(socket, &Socket::connectionRequest, this,
            [this, index](qint64 id) { emit connectionRequest(index, id); });
    connect(socket, &Socket::sendProgress, this,
            [this, index](qint64 bytes) { emit sendProgress(index, bytes); });
    connect(socket, &Socket::sendComplete, this, [this, index] { emit sendComplete(index); });
    connect(socket, &Socket::inputEnded, this, [this, index] { emit inputEnded(index); });
    connect(socket, &Socket::closed, this, [this, index] { emit closed(index); });
    return socket;
}
