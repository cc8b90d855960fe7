// The part of the window the link object reads and writes.
#pragma once

#include <QString>

class LinkWindow
{
public:
    enum class Control { Command4, Command5 };

    virtual ~LinkWindow() = default;
    // Replaces the text of the serial-link status line.
    virtual void showLinkStatus(const QString &text) = 0;
    virtual void setControlEnabled(Control control, bool enabled) = 0;

    // Selecting runs the window's selection rule, as a click does.
    virtual void setComboSelectedIndex(int index) = 0;
    virtual int comboCount() const = 0;
    virtual QString comboEntry(int index) const = 0;
    virtual void setBaudText(const QString &text) = 0;
};
