// Focus hand-over between buttons, so that a pressed button never leaves the focus on "Ende".
#include "focussuccession.h"

#include <QEvent>
#include <QWidget>

FocusSuccession::FocusSuccession(QObject *parent)
    : QObject(parent)
{
}

void FocusSuccession::add(QWidget *control, const QList<QWidget *> &successors)
{
    m_successors.insert(control, successors);
    for (QWidget *successor : successors)
        successor->installEventFilter(this);
}

bool FocusSuccession::passFocusOn(QWidget *disabled)
{
    m_waitingFor.clear();
    const QList<QWidget *> successors = m_successors.value(disabled);
    for (QWidget *successor : successors) {
        if (successor->isEnabled() && successor->isVisible()) {
            successor->setFocus(Qt::OtherFocusReason);
            return true;
        }
    }
    m_waitingFor = successors;
    return false;
}

bool FocusSuccession::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::EnabledChange || m_waitingFor.isEmpty())
        return false;
    auto *widget = static_cast<QWidget *>(watched);
    if (!widget->isEnabled() || !m_waitingFor.contains(widget))
        return false;
    m_waitingFor.clear();
    // The user may have put the focus somewhere meanwhile; that choice stands.
    if (!widget->window()->focusWidget() && widget->isVisible())
        widget->setFocus(Qt::OtherFocusReason);
    return false;
}
