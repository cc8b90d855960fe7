// The event pump over the Qt event loop.
#include "eventpump.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

namespace EventPump {

void runPending()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void sleepMs(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace EventPump
