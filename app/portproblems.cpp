// German texts that say why a serial port is not offered or could not be opened, and what to do.
#include "portproblems.h"

using namespace Qt::StringLiterals;

namespace PortProblems {

QString reason(const SerialDiagnosis::OpenProblem &problem, const QString &device)
{
    using Kind = SerialDiagnosis::OpenProblem::Kind;
    switch (problem.kind) {
    case Kind::Missing: return u"kein Gerät "_s + device + u" (Adapter eingesteckt?)"_s;
    case Kind::NoPermission:
        if (problem.group.isEmpty())
            return u"kein Zugriff auf "_s + device;
        return u"kein Zugriff – Benutzer in die Gruppe "_s + problem.group
            + u" aufnehmen (sudo usermod -aG "_s + problem.group + u" $USER) und neu anmelden"_s;
    case Kind::InUse:
        return problem.holder > 0 ? u"wird von Prozess "_s + QString::number(problem.holder) + u" benutzt"_s
                                  : u"wird von einem anderen Programm benutzt"_s;
    case Kind::Other: break;
    }
    return {};
}

void ProbeReport::add(const QString &portName, const QString &reason)
{
    if (reason.isEmpty())
        return;
    for (auto &[known, ports] : m_portsByReason) {
        if (known == reason) {
            ports.append(portName);
            return;
        }
    }
    m_portsByReason.append({reason, {portName}});
}

QString ProbeReport::text() const
{
    QStringList parts;
    for (const auto &[reason, ports] : m_portsByReason)
        parts.append(ports.join(u", "_s) + u": "_s + reason);
    return parts.join(u"; "_s);
}

} // namespace PortProblems
