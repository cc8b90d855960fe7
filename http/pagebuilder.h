// Builds listing pages off the event thread; requests for the same folder share one build.
#pragma once

#include "servedtree.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QThreadPool>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

class PageBuilder : public QObject
{
    Q_OBJECT
public:
    // Who waits for a page: the slot and the connection it held when it asked.
    struct Waiter
    {
        int slot = 0;
        quint64 connection = 0;
        bool operator==(const Waiter &other) const = default;
    };

    explicit PageBuilder(QObject *parent = nullptr);
    // Drops the builds not started yet and waits for the one running; no page is reported.
    ~PageBuilder() override;

    // Builds the page of the open folder `folder`, whose names below the root are
    // `folderPath`, and reports it with `built`. A build of the same folder and
    // path that is still running takes the waiter along instead.
    void request(const ServedTree::Position &folder, const FileSystem::EntryInfo &identity,
                 const QByteArray &folderPath, const Waiter &waiter);
    // The waiter's connection has ended. A build nobody waits for any more is dropped, and a
    // build not started yet lets its folder go at once.
    void forget(const Waiter &waiter);

signals:
    // On the event thread; every waiter gets the same bytes.
    void built(const QList<PageBuilder::Waiter> &waiters, const QByteArray &page);

private:
    // The same object listed under the same path in the same locale gives the same page.
    struct Key
    {
        quint64 device = 0;
        quint64 inode = 0;
        QByteArray folderPath;
        char separator = 0;
        bool operator<(const Key &other) const;
    };

    // One build: its waiters (event thread only) and its folder, which the build thread takes
    // when it starts, unless nobody waits for the page any more.
    struct Build
    {
        QList<Waiter> waiters;
        std::mutex folderLock;
        std::optional<ServedTree::Position> folder;
    };

    void finish(const Key &key, const std::shared_ptr<Build> &build, const QByteArray &page);

    QThreadPool m_pool;
    std::map<Key, std::shared_ptr<Build>> m_running;
};
