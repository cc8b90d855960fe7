// Presses the window's own buttons for a start without a person at the screen.
#pragma once

#include <QObject>

class QWidget;

class UnattendedStart : public QObject
{
    Q_OBJECT
public:
    // With connectLink, "Einstellungen übernehmen" and "Verbinden" follow "Öffnen".
    UnattendedStart(QWidget &window, bool connectLink, QObject *parent = nullptr);

    // The first press waits for the event loop, so the window has loaded and shows.
    void begin();

private:
    void pressOpen();
    void pressApply();
    void pressConnect();
    bool press(const QString &buttonName);

    QWidget &m_window;
    bool m_connectLink;
};
