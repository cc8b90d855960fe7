// Standard input, output and error made safe before anything else opens a file.
#include "standardstreams.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace StandardStreams {

void secure()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // The lowest free number is taken, and the ones below are open by now: this one.
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", O_RDWR);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace StandardStreams
