// What the test process itself uses: its resident memory and its processor time.
#pragma once

#include <QFile>

#include <ctime>
#include <unistd.h>

inline qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// Processor time of all the process's threads, user and system together.
inline qint64 cpuMicroseconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}
