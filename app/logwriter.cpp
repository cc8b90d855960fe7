// Standard error that never holds up the event thread: a bounded queue and a writer thread.
#include "logwriter.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <cerrno>
#include <unistd.h>

namespace LogWriter {

namespace {

struct Queue
{
    std::mutex mutex;
    std::condition_variable lineQueued;
    std::condition_variable drained;
    std::deque<QByteArray> lines;
    qsizetype bytes = 0;
    quint64 dropped = 0;
    bool writing = false;
    bool broken = false;
};

// Never freed: the writer may still be blocked in a write when the program ends.
Queue *queue = nullptr;

bool writeAll(const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t done
            = ::write(STDERR_FILENO, bytes.constData() + written, size_t(bytes.size() - written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        written += done;
    }
    return true;
}

void writeQueuedLines(Queue *q)
{
    std::unique_lock lock(q->mutex);
    for (;;) {
        q->lineQueued.wait(lock, [q] { return !q->lines.empty(); });
        QByteArray line = std::move(q->lines.front());
        q->lines.pop_front();
        q->bytes -= line.size();
        if (q->dropped > 0) {
            line.prepend("quenvar: " + QByteArray::number(q->dropped)
                         + " Protokollzeilen verworfen, die Standardfehlerausgabe wurde nicht gelesen\n");
            q->dropped = 0;
        }
        q->writing = true;
        lock.unlock();
        const bool written = writeAll(line);
        lock.lock();
        q->writing = false;
        if (!written) {
            q->broken = true;
            q->lines.clear();
        }
        if (q->lines.empty())
            q->drained.notify_all();
        if (q->broken)
            return;
    }
}

void queueMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit() + '\n';
    if (type == QtFatalMsg) {
        writeAll(line); // the program ends right after; nothing would write it later
        return;
    }
    {
        const std::lock_guard lock(queue->mutex);
        if (queue->broken)
            return;
        if (queue->bytes + line.size() > QueueBytes) {
            ++queue->dropped;
            return;
        }
        queue->bytes += line.size();
        queue->lines.push_back(std::move(line));
    }
    queue->lineQueued.notify_one();
}

} // namespace

void install()
{
    queue = new Queue;
    std::thread(writeQueuedLines, queue).detach();
    qInstallMessageHandler(queueMessage);
}

void finish()
{
    if (!queue)
        return;
    std::unique_lock lock(queue->mutex);
    queue->drained.wait_for(lock, FinishTime,
                            [] { return queue->broken || (queue->lines.empty() && !queue->writing); });
}

} // namespace LogWriter
