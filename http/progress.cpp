// The transfer progress line.
#include "progress.h"

#include "localeformat.h"

using namespace Qt::Literals::StringLiterals;

namespace Progress {

namespace {
constexpr double Hundred = 100.0;
}

std::optional<QString> line(const QByteArray &requestPath, qint64 sentBytes, qint64 fileLength)
{
    if (fileLength <= 0)
        return std::nullopt;
    const double percent = double(sentBytes) / double(fileLength) * Hundred;
    return u"Transfering: "_s + QString::fromLatin1(requestPath) + u" - "_s + QString::number(sentBytes)
        + u" of "_s + QString::number(fileLength) + u" bytes sent ("_s + LocaleFormat::twoDecimals(percent)
        + u"% Done)."_s;
}

QString errorLine(const QString &when, int index, int number, const QString &description)
{
    return when + u": ("_s + QString::number(index) + u") Error "_s + QString::number(number) + u" - "_s
        + description;
}

} // namespace Progress
