// Where keyboard focus goes when a handler disables the control that has it.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>

class QWidget;

class FocusSuccession : public QObject
{
    Q_OBJECT
public:
    explicit FocusSuccession(QObject *parent = nullptr);

    // When `control` is disabled while it has focus, focus goes to the first
    // enabled of `successors`; when none is enabled yet, to the first of them
    // that becomes enabled while nothing else has taken the focus.
    void add(QWidget *control, const QList<QWidget *> &successors);
    bool hasSuccessors(QWidget *control) const { return m_successors.contains(control); }
    // Called while `disabled` still is the window's focus widget. false: none of
    // its successors can take the focus now, and the window clears it.
    bool passFocusOn(QWidget *disabled);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QHash<QWidget *, QList<QWidget *>> m_successors;
    QList<QWidget *> m_waitingFor;
};
