// Tells when serial devices may have come or gone: a change in the folders their files are in.
#include "devicewatch.h"

DeviceWatch::DeviceWatch(const QStringList &folders, QObject *parent)
    : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleTime);
    connect(&m_settle, &QTimer::timeout, this, &DeviceWatch::changed);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    // A folder that cannot be watched only means that plugging in there needs a restart.
    if (!folders.isEmpty())
        m_watcher.addPaths(folders);
}
