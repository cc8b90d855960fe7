// Why a serial device file could not be opened, read from the file, a trial open and /proc.
#include "serialdiagnosis.h"

#include "filesystem.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SerialDiagnosis {

namespace {

constexpr mode_t GroupReadWrite = S_IRGRP | S_IWGRP;
constexpr gid_t RootGroup = 0;

// The process that has `device` open, as far as this user may look into other processes; 0 if none is seen.
qint64 holderOf(const QByteArray &device)
{
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        bool isNumber = false;
        const qint64 pid = process.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        const QString fds = QStringLiteral("/proc/") + process + QStringLiteral("/fd/");
        for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(QFile::encodeName(fds + fd).constData(), target, sizeof target);
            if (length > 0 && QByteArrayView(target, length) == device)
                return pid;
        }
    }
    return 0;
}

} // namespace

OpenProblem diagnose(const QString &device)
{
    const QByteArray path = FileSystem::canonicalPath(QFile::encodeName(device));
    struct stat entry
    {
    };
    if (path.isEmpty() || ::stat(path.constData(), &entry) != 0)
        return {OpenProblem::Kind::Missing, {}, 0};
    const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = errno;
    if (fd >= 0)
        ::close(fd); // the device itself opens: what refused it was the lock of whoever holds it
    if (fd < 0 && (error == EACCES || error == EPERM)) {
        // Only a group that may read and write the device, and is not root's, is one to join.
        const group *owner = (entry.st_mode & GroupReadWrite) == GroupReadWrite && entry.st_gid != RootGroup
            ? ::getgrgid(entry.st_gid)
            : nullptr;
        return {OpenProblem::Kind::NoPermission, owner ? QString::fromLocal8Bit(owner->gr_name) : QString(),
                0};
    }
    if (fd < 0 && (error == ENOENT || error == ENODEV || error == ENXIO))
        return {OpenProblem::Kind::Missing, {}, 0};
    if (fd >= 0 || error == EBUSY)
        return {OpenProblem::Kind::InUse, {}, holderOf(path)};
    return {};
}

} // namespace SerialDiagnosis
