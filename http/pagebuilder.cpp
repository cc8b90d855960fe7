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
    m_pool.clear();
    m_pool.waitForDone();
}

void PageBuilder::request(const ServedTree::Position &folder, const FileSystem::EntryInfo &identity,
                          const QByteArray &folderPath, const Waiter &waiter)
{
    // Read here, on the event thread, where the locale may be changed.
    const Key key {identity.device, identity.inode, folderPath, LocaleFormat::groupSeparatorByte()};
    const auto running = m_running.find(key);
    if (running != m_running.end()) {
        running->second->waiters.append(waiter);
        return;
    }
    auto build = std::make_shared<Build>();
    build->waiters.append(waiter);
    build->folder = folder;
    m_running.emplace(key, build);
    m_pool.start([this, build, key] {
        std::optional<ServedTree::Position> taken;
        {
            const std::lock_guard lock(build->folderLock);
            taken.swap(build->folder);
        }
        if (!taken)
            return;
        const QByteArray page = Listing::page(key.folderPath, Listing::servedEntries(*taken), key.separator);
        taken.reset();
        QMetaObject::invokeMethod(
            this, [this, key, build, page] { finish(key, build, page); }, Qt::QueuedConnection);
    });
}

void PageBuilder::forget(const Waiter &waiter)
{
    for (auto running = m_running.begin(); running != m_running.end(); ++running) {
        Build &build = *running->second;
        if (build.waiters.removeAll(waiter) == 0)
            continue;
        if (build.waiters.isEmpty()) {
            // Clients that ask for folders and leave at once must not queue up builds (each
            // holding a folder open) for pages nobody reads.
            {
                const std::lock_guard lock(build.folderLock);
                build.folder.reset();
            }
            m_running.erase(running);
        }
        return;
    }
}

void PageBuilder::finish(const Key &key, const std::shared_ptr<Build> &build, const QByteArray &page)
{
    // A build dropped meanwhile, and perhaps a new one of the same folder started.
    const auto running = m_running.find(key);
    if (running == m_running.end() || running->second != build)
        return;
    const QList<Waiter> waiters = build->waiters;
    m_running.erase(running);
    emit built(waiters, page);
}
