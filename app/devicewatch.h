// Tells when serial devices may have come or gone: a change in the folders their files are in.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <chrono>

class DeviceWatch : public QObject
{
    Q_OBJECT
public:
    // A new device file gets its group and permissions a moment after it appears; a change is
    // told once nothing more has changed for this long.
    static constexpr std::chrono::milliseconds SettleTime {1000};

    explicit DeviceWatch(const QStringList &folders, QObject *parent = nullptr);

signals:
    void changed();

private:
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
};
