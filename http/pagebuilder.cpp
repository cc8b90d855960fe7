// Listing pages built on a worker thread and handed back to the event thread.
#include "pagebuilder.h"

#include "listing.h"
#include "localeformat.h"

#include <tuple>

namespace {
// Leaves a core to the event thread, which relays frames meanwhile.
constexpr int BuildThreads = 1;
} // namespace

bool PageBuilder::Key::operator<(const Key &other) const
{
    return std::tie(device, inode, folderPath, separator)
        < std::tie(other.device, other.inode, other.folderPath, other.separator);
}

PageBuilder::PageBuilder(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(BuildThreads);
}

PageBuilder::~PageBuilder()
{
    // A build posts its page to this object: none may still be running once it is gone.
    m_pool.waitForDone();
}

void PageBuilder::request(const ServedTree::Position &folder, const FileSystem::EntryInfo &identity,
                          const QByteArray &folderPath, const Waiter &waiter)
{
    // Read here, on the event thread, where the locale may be changed.
    const Key key {identity.device, identity.inode, folderPath, LocaleFormat::groupSeparatorByte()};
    const auto running = m_running.find(key);
    if (running != m_running.end()) {
        running->second.append(waiter);
        return;
    }
    m_running.emplace(key, QList<Waiter> {waiter});
    m_pool.start([this, folder, key] {
        const QByteArray page = Listing::page(key.folderPath, Listing::servedEntries(folder), key.separator);
        QMetaObject::invokeMethod(
            this, [this, key, page] { finish(key, page); }, Qt::QueuedConnection);
    });
}

void PageBuilder::finish(const Key &key, const QByteArray &page)
{
    const auto running = m_running.find(key);
    if (running == m_running.end())
        return;
    const QList<Waiter> waiters = running->second;
    m_running.erase(running);
    emit built(waiters, page);
}
