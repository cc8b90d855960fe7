// The link object: owns the serial link's settings and state, pings and identifies.
#pragma once

#include "frametranslator.h"

#include <QString>

class LinkWindow;
class SerialPort;

class CAN : public FrameTranslator
{
public:
    // Answer codes of a command; a ping answer sets Answered or Failed as it identifies a device or not.
    static constexpr qint32 NoAnswer = 0;
    static constexpr qint32 Answered = 1;
    static constexpr qint32 Failed = 2;

    // The port is the window's; the object keeps no handle of its own.
    CAN(SerialPort &MSComm1, LinkWindow &window, QString iniPath);

    QString COM_Port() const { return Port_Nr; }
    void setCOM_Port(const QString &vNewValue) { Port_Nr = vNewValue; }
    QString COM_Speed() const;
    // Reads the text in the user's locale. False, with the speed unchanged,
    // when it is not a whole number above 0.
    bool setCOM_Speed(const QString &vNewValue);

    QString Verbinden();
    QString Trennen();
    QByteArray CBefehl(const QByteArray &Meldung) override;
    QByteArray CAN_Retour(const QByteArray &Meldung) override;
    qint32 Command_Execute(const QString &Device, qint16 &TimeOut);
    void ini_lesen();
    void ini_Schreiben();
    bool Verbindungs_Status() const { return Verbunden; }

    // Ends a pending wait at once (the window is closing).
    void abortWait() { m_abortWait = true; }

    QString idBits() const { return ID_Bits; }
    qint32 answerCode() const { return Answer_Code; }
    QString deviceId() const { return Device_ID; }
    QString deviceType() const { return Device_Type; }

private:
    qint16 Send_And_Wait(const QByteArray &data, bool wait, qint16 &TimeOut);

    QString Port_Nr;
    double Baud_Rate = 0;
    bool Verbunden = false;
    QString ID_Bits;
    qint32 Answer_Code = 0;
    QString Device_ID;
    QString Device_Type;

    SerialPort &m_serial;
    LinkWindow &m_window;
    QString m_iniPath;
    bool m_abortWait = false;
};
