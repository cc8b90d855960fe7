// The serial-port service: numbered ports, line-settings text, receive event.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class QSerialPort;

class SerialPort : public QObject
{
    Q_OBJECT
public:
    // Maps a port number to its device file; an empty result means "no such port".
    using PortTable = std::function<QString(int portNumber)>;

    // COM1-4 → ttyS0-3, COM5-10 → ttyUSB0-5, COM11-16 → ttyACM0-5.
    static QString linuxDevice(int portNumber);

    explicit SerialPort(PortTable table = &SerialPort::linuxDevice, QObject *parent = nullptr);

    void setPortNumber(int portNumber);
    int portNumber() const { return m_portNumber; }
    // The device file of the port number set; empty when the number has none.
    QString devicePath() const { return m_table ? m_table(m_portNumber) : QString(); }

    // Line settings such as "9600,N,8,1"; false when the text is not understood.
    bool setSettings(const QString &settings);
    void setRts(bool on);
    void setRtsCtsHandshake(bool on);

    bool open();
    // Also drops what still waits to go out: it belongs to the link that ends here.
    void close();
    bool isOpen() const;

    // Bytes received and not read yet, also those the system holds for the port.
    qint64 waitingCount() const;
    // Every byte fetched from the system so far; the next arrival raises the receive event again.
    QByteArray readAll();
    qint32 baudRate() const;
    bool write(const QByteArray &data);
    // Bytes handed to write() that the device has not taken yet.
    qint64 pendingWrite() const;
    // Drops every byte handed to write() that the device has not sent yet, ours and the driver's.
    void discardOutput();

    QString errorString() const { return m_error; }

signals:
    void received();
    void portOpened();
    // The device took some of the bytes written.
    void written();
    // The device went away under an open port (unplugged).
    void deviceLost();
    // The port was closed, by close() or because its device went away.
    void portClosed();

private:
    void onError(int error);
    void closePort();

    PortTable m_table;
    QSerialPort *m_port;
    int m_portNumber = 0;
    bool m_rts = false;
    // Counts the opens, so a close planned for a lost device never hits the port opened after it.
    quint64 m_opened = 0;
    bool m_lossNoticed = false;
    QString m_error;
};
