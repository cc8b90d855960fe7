// Raising the limit of open files with setrlimit where the system has it.
#include "openfilelimit.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace OpenFileLimit {

#ifdef Q_OS_UNIX
namespace {
// Used when the hard limit is "unlimited", which the kernel refuses for open files.
constexpr rlim_t FallbackCeiling = 1 << 20;
} // namespace
#endif

long long raiseToHardLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_max == RLIM_INFINITY) {
            raised.rlim_cur = FallbackCeiling;
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(limit.rlim_cur);
#else
    return -1;
#endif
}

long long current()
{
#ifdef Q_OS_UNIX
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<long long>(limit.rlim_cur);
#else
    return -1;
#endif
}

} // namespace OpenFileLimit
