// Presses the window's own buttons for a start without a person at the screen.
#include "unattendedstart.h"

#include "can.h"
#include "frmmain.h"

#include <QComboBox>
#include <QLoggingCategory>
#include <QPushButton>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcStart, "quenvar.start")

namespace {

// The buttons by their object names: a press here is the click a person makes,
// with the same handler, texts and enabling.
const QString kOpenButton = u"Command1"_s;
const QString kApplyButton = u"Command3"_s;
const QString kConnectButton = u"Command4"_s;
const QString kPortList = u"Combo1"_s;

} // namespace

UnattendedStart::UnattendedStart(FrmMain &window, bool connectLink, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_connectLink(connectLink)
{
    m_retry.setInterval(RetryInterval);
    connect(&m_retry, &QTimer::timeout, this, &UnattendedStart::retryLink);
    if (!m_connectLink)
        return;
    connect(&m_window, &FrmMain::linkLost, this, [this] {
        showRetrying();
        m_retry.start();
    });
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
        // A port named but not plugged in yet is waited for as one that was lost.
        if (m_window.canLink() && !m_window.canLink()->COM_Port().isEmpty()) {
            showRetrying();
            m_retry.start();
        }
        return;
    }
    QTimer::singleShot(0, this, &UnattendedStart::pressConnect);
}

void UnattendedStart::pressConnect()
{
    press(kConnectButton);
}

void UnattendedStart::retryLink()
{
    CAN *link = m_window.canLink();
    if (!link || link->Verbindungs_Status()) {
        m_retry.stop();
        return;
    }
    // The port is offered again once its device is back; until then there is nothing to press.
    auto *ports = m_window.findChild<QComboBox *>(kPortList);
    const int entry = ports ? ports->findText(u"COM"_s + link->COM_Port()) : -1;
    if (entry < 0)
        return;
    ports->setCurrentIndex(entry);
    // "Verbinden" waits for the ping, and this timer must not press again meanwhile. A speed that
    // cannot be applied will not become one by waiting.
    m_retry.stop();
    if (!press(kApplyButton))
        return;
    press(kConnectButton);
    if (link->Verbindungs_Status())
        return;
    showRetrying();
    m_retry.start();
}

void UnattendedStart::showRetrying()
{
    const CAN *link = m_window.canLink();
    m_window.showLinkStatus(u"COM"_s + (link ? link->COM_Port() : QString())
                            + u" nicht verbunden – neuer Versuch alle "_s
                            + QString::number(RetryInterval.count()) + u" Sekunden"_s);
}

bool UnattendedStart::press(const QString &buttonName)
{
    auto *button = m_window.findChild<QPushButton *>(buttonName);
    if (!button || !button->isEnabled() || !button->isVisibleTo(&m_window))
        return false;
    button->click();
    return true;
}
