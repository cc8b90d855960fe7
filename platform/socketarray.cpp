// The growing socket array.
#include "socketarray.h"

SocketArray::SocketArray(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &TcpListener::connectionRequest, this, &SocketArray::connectionRequest);
}

TcpConnection *SocketArray::create(int index)
{
    Q_ASSERT(index == highestIndex() + 1);
    auto *connection = new TcpConnection(this);
    m_connections.append(connection);
    connect(connection, &TcpConnection::dataArrival, this,
            [this, index](qint64 bytes) { emit dataArrival(index, bytes); });
    connect(connection, &TcpConnection::sendProgress, this,
            [this, index](qint64 bytes) { emit sendProgress(index, bytes); });
    connect(connection, &TcpConnection::sendComplete, this, [this, index] { emit sendComplete(index); });
    connect(connection, &TcpConnection::inputEnded, this, [this, index] { emit inputEnded(index); });
    connect(connection, &TcpConnection::failed, this, [this, index] { emit failed(index); });
    return connection;
}
