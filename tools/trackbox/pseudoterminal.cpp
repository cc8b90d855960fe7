// Opening and closing the pseudo-terminal pair.
#include "pseudoterminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int PathBufferSize = 256;

bool makeRaw(int fd)
{
    termios settings {};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool makeNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

QString systemError(const char *what)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

PseudoTerminal::PseudoTerminal()
{
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        m_error = systemError("openpty");
        m_master = m_slave = -1;
        return;
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    if (!makeRaw(m_master) || !makeRaw(m_slave) || !makeNonBlocking(m_master)) {
        m_error = systemError("pseudo-terminal set-up");
        unplug();
        return;
    }
    char path[PathBufferSize] = {};
    if (const int failure = ::ttyname_r(m_slave, path, sizeof path); failure != 0) {
        errno = failure;
        m_error = systemError("ttyname_r");
        unplug();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(path);
}

PseudoTerminal::~PseudoTerminal()
{
    unplug();
}

void PseudoTerminal::unplug()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = -1;
    m_slave = -1;
}
