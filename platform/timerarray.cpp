// The growing timer array over QTimer.
#include "timerarray.h"

#include <QTimer>

TimerArray::TimerArray(QObject *parent)
    : QObject(parent)
{
    create(0);
}

void TimerArray::create(int index)
{
    Q_ASSERT(index == m_timers.size());
    auto *timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(0);
    m_timers.append(timer);
    connect(timer, &QTimer::timeout, this, [this, index] { emit tick(index); });
}

void TimerArray::setInterval(int index, int milliseconds)
{
    m_timers.at(index)->setInterval(milliseconds);
}

void TimerArray::setEnabled(int index, bool enabled)
{
    QTimer *timer = m_timers.at(index);
    // An interval of 0 means "never fires", not "fire as fast as possible".
    if (enabled && timer->interval() > 0)
        timer->start();
    else
        timer->stop();
}

bool TimerArray::isEnabled(int index) const
{
    return m_timers.at(index)->isActive();
}
