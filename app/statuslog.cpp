// Follows the window's status lines on standard error, for a terminal or the journal.
#include "statuslog.h"

#include "frmmain.h"

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcStatus, "quenvar.status")

void StatusLog::stampMessages()
{
    // QT_MESSAGE_PATTERN, when set, still wins over this.
    qSetMessagePattern(u"%{time yyyy-MM-dd hh:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}"_s);
}

void StatusLog::follow(const FrmMain &window)
{
    // Shown before anyone followed: why serial ports that exist are not offered.
    if (!window.portHint().isEmpty())
        qCInfo(lcStatus).noquote() << u"Label5: "_s + window.portHint();
    QObject::connect(&window, &FrmMain::statusTextChanged, &window,
                     [](const QString &lineName, const QString &text) {
                         qCInfo(lcStatus).noquote() << lineName + u": "_s + text;
                     });
}
