// SIGTERM, SIGINT and SIGHUP as events: the handler only writes a byte, the event loop does the rest.
#pragma once

#include <QObject>

class QSocketNotifier;

class EndSignals : public QObject
{
    Q_OBJECT
public:
    explicit EndSignals(QObject *parent = nullptr);

signals:
    // One of the signals came; a burst of them is told once per event pass.
    void received();

private:
    void takeSignals();

    QSocketNotifier *m_notifier = nullptr;
};
