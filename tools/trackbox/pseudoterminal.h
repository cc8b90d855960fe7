// A pseudo-terminal pair in raw mode: the slave stands in for a serial device, the master is our end.
#pragma once

#include <QString>

class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isOpen() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    // The device file a serial port opens, e.g. /dev/pts/3.
    QString slavePath() const { return m_slavePath; }
    // Non-blocking; -1 once unplugged.
    int masterFd() const { return m_master; }

    // Closes both ends, so that whoever has the slave open sees the device vanish.
    void unplug();

private:
    int m_master = -1;
    // Held open so that the master neither reports a hang-up nor loses buffered
    // data while no serial port has the slave open.
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
};
