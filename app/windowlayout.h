// Places the window's controls: the designed pixels at the default font, stretched when a font needs more.
#pragma once

#include <QList>
#include <QRect>
#include <QSize>

class QWidget;

class WindowLayout
{
public:
    // What a control needs to be read whole.
    enum class Need {
        Caption, // its text: labels and buttons
        Field, // a line of text inside its frame
        FieldWithValue, // the same, and room for the value it shows now
        Choice, // a drop-down list with its arrow
        StatusLine, // two lines of text
        Frame, // its title, above the first row of controls
    };

    // `designed` is the control's place at the default font, relative to its parent.
    void place(QWidget *control, QRect designed, Need need);
    // Places every control and fixes the window's size; run again when the font changes.
    void apply(QWidget *window, QSize designedClient) const;

private:
    struct Placement
    {
        QWidget *control;
        QRect designed;
        Need need;
    };

    static QSize neededSize(const Placement &placement);
    // How much wider and taller than designed the window must be; never less than 1.
    QSizeF stretch() const;

    QList<Placement> m_placements;
};
