// The part of the window the frame relay writes to.
#pragma once

#include <QString>

class RelayWindow
{
public:
    virtual ~RelayWindow() = default;
    // Replaces the text of the network status line.
    virtual void showNetworkStatus(const QString &text) = 0;
    // Replaces the text of the serial link's status line.
    virtual void showLinkStatus(const QString &text) = 0;
};
