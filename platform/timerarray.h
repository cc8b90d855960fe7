// An indexed array of precise timers that grows at run time.
#pragma once

#include <QList>
#include <QObject>

class QTimer;

class TimerArray : public QObject
{
    Q_OBJECT
public:
    // Element 0 exists from the start with interval 0 and never fires.
    explicit TimerArray(QObject *parent = nullptr);

    int highestIndex() const { return int(m_timers.size()) - 1; }
    void create(int index);
    void setInterval(int index, int milliseconds);
    void setEnabled(int index, bool enabled);
    bool isEnabled(int index) const;

signals:
    void tick(int index);

private:
    QList<QTimer *> m_timers;
};
