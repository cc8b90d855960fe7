// German texts that say why a serial port is not offered or could not be opened, and what to do.
#pragma once

#include "serialdiagnosis.h"

#include <QList>
#include <QString>

namespace PortProblems {

// Why `device` could not be opened, e.g. "wird von Prozess 1234 benutzt"; empty when there is
// nothing the user can do about it (a port without hardware behind it).
QString reason(const SerialDiagnosis::OpenProblem &problem, const QString &device);

// The probe's ports that exist but did not open, with their reasons.
class ProbeReport
{
public:
    void add(const QString &portName, const QString &reason);
    // "COM1, COM5: kein Zugriff – …; COM7: wird von Prozess 1234 benutzt"; empty when none.
    QString text() const;

private:
    QList<std::pair<QString, QStringList>> m_portsByReason;
};

} // namespace PortProblems
