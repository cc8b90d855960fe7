// What the relay asks of the link object: the translation of one frame per direction.
#pragma once

#include <QByteArray>

class FrameTranslator
{
public:
    virtual ~FrameTranslator() = default;
    // A frame from the serial link on its way to the TCP client.
    virtual QByteArray CBefehl(const QByteArray &Meldung) = 0;
    // A frame from a UDP client on its way back to the network.
    virtual QByteArray CAN_Retour(const QByteArray &Meldung) = 0;
};
