// Why a serial device file could not be opened: missing, not permitted, or held by another process.
#pragma once

#include <QString>

namespace SerialDiagnosis {

struct OpenProblem
{
    enum class Kind {
        Missing, // no such device (nothing plugged in there)
        NoPermission, // group: the one to join, empty when joining a group would not help
        InUse, // another process holds it (holder 0: it could not be seen which)
        Other,
    };
    Kind kind = Kind::Other;
    QString group;
    qint64 holder = 0;
};

// Looks at the device again after an open failed; opening it here takes nothing from anyone.
OpenProblem diagnose(const QString &device);

} // namespace SerialDiagnosis
