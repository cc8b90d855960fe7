// Presses the window's own buttons for a start without a person at the screen.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

class FrmMain;

class UnattendedStart : public QObject
{
    Q_OBJECT
public:
    // Often enough that a replugged adapter is back at work at once, seldom enough to cost nothing.
    static constexpr std::chrono::seconds RetryInterval {3};

    // With connectLink, "Einstellungen übernehmen" and "Verbinden" follow "Öffnen", and a link
    // that is lost later is made again once its port is back.
    UnattendedStart(FrmMain &window, bool connectLink, QObject *parent = nullptr);

    // The first press waits for the event loop, so the window has loaded and shows.
    void begin();

private:
    void pressOpen();
    void pressApply();
    void pressConnect();
    bool press(const QString &buttonName);
    void retryLink();
    void showRetrying();

    FrmMain &m_window;
    bool m_connectLink;
    QTimer m_retry;
};
