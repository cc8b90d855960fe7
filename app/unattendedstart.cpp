// Presses the window's own buttons for a start without a person at the screen.
#include "unattendedstart.h"

#include <QLoggingCategory>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcStart, "quenvar.start")

namespace {

// The buttons by their object names: a press here is the click a person makes,
// with the same handler, texts and enabling.
const QString kOpenButton = u"Command1"_s;
const QString kApplyButton = u"Command3"_s;
const QString kConnectButton = u"Command4"_s;

} // namespace

UnattendedStart::UnattendedStart(QWidget &window, bool connectLink, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_connectLink(connectLink)
{
}

void UnattendedStart::begin()
{
    QTimer::singleShot(0, this, &UnattendedStart::pressOpen);
}

// Each press is posted after the previous handler has returned, so the window
// repaints in between as it would for a person.
void UnattendedStart::pressOpen()
{
    if (!press(kOpenButton)) {
        qCWarning(lcStart).noquote() << u"\"Öffnen\" ist nicht möglich"_s;
        return;
    }
    if (m_connectLink)
        QTimer::singleShot(0, this, &UnattendedStart::pressApply);
}

void UnattendedStart::pressApply()
{
    if (!press(kApplyButton)) {
        qCWarning(lcStart).noquote()
            << u"\"Einstellungen übernehmen\" ist nicht möglich: RIri.ini nennt keinen "
               "angebotenen Port oder keine Baudrate; \"Verbinden\" wird nicht gedrückt"_s;
        return;
    }
    QTimer::singleShot(0, this, &UnattendedStart::pressConnect);
}

void UnattendedStart::pressConnect()
{
    press(kConnectButton);
}

bool UnattendedStart::press(const QString &buttonName)
{
    auto *button = m_window.findChild<QPushButton *>(buttonName);
    if (!button || !button->isEnabled() || !button->isVisibleTo(&m_window))
        return false;
    button->click();
    return true;
}
