// What the HTTP server needs from the window: the network status line and the server buttons.
#pragma once

#include <QString>

class ServerWindow
{
public:
    virtual ~ServerWindow() = default;

    // Replaces the text of LFileProgress.
    virtual void showNetworkStatus(const QString &text) = 0;
    // true: "Öffnen" enabled and "Schließen" disabled; false: the other way round.
    virtual void setServerButtons(bool openEnabled) = 0;
};
