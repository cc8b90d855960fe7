// SIGTERM, SIGINT and SIGHUP as events, through a pipe the handler writes one byte into.
#include "endsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr size_t kDrainChunk = 64;
int signalPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one write, and errno as it was.
void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(QObject *parent)
    : QObject(parent)
{
    // Without the pipe the signals keep their default: they still end the program, only abruptly.
    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndSignals::takeSignals);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : kEndingSignals)
        ::sigaction(signal, &action, nullptr);
}

void EndSignals::takeSignals()
{
    char bytes[kDrainChunk];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) { }
    emit received();
}
