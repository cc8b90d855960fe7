// Builds listing pages off the event thread; requests for the same folder share one build.
#pragma once

#include "servedtree.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QThreadPool>

#include <map>

class PageBuilder : public QObject
{
    Q_OBJECT
public:
    // Who waits for a page: the slot and the connection it held when it asked.
    struct Waiter
    {
        int slot = 0;
        quint64 connection = 0;
    };

    explicit PageBuilder(QObject *parent = nullptr);
    // Waits for the builds still running; their pages are dropped.
    ~PageBuilder() override;

    // Builds the page of the open folder `folder`, whose names below the root are
    // `folderPath`, and reports it with `built`. A build of the same folder and
    // path that is still running takes the waiter along instead.
    void request(const ServedTree::Position &folder, const FileSystem::EntryInfo &identity,
                 const QByteArray &folderPath, const Waiter &waiter);

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

    void finish(const Key &key, const QByteArray &page);

    QThreadPool m_pool;
    std::map<Key, QList<Waiter>> m_running;
};
