// The serial-port service over QSerialPort.
#include "serialport.h"

#include <QSerialPort>
#include <QStringList>

#include <sys/ioctl.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct DeviceRange
{
    int firstPort;
    int lastPort;
    const char *prefix;
};

constexpr DeviceRange kLinuxRanges[] = {
    {1, 4, "/dev/ttyS"},
    {5, 10, "/dev/ttyUSB"},
    {11, 16, "/dev/ttyACM"},
};

} // namespace

QString SerialPort::linuxDevice(int portNumber)
{
    for (const DeviceRange &range : kLinuxRanges) {
        if (portNumber >= range.firstPort && portNumber <= range.lastPort)
            return QString::fromLatin1(range.prefix) + QString::number(portNumber - range.firstPort);
    }
    return {};
}

SerialPort::SerialPort(PortTable table, QObject *parent)
    : QObject(parent)
    , m_table(std::move(table))
    , m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &SerialPort::received);
    connect(m_port, &QSerialPort::bytesWritten, this, &SerialPort::written);
    connect(m_port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onError(error); });
}

void SerialPort::setPortNumber(int portNumber)
{
    m_portNumber = portNumber;
}

bool SerialPort::setSettings(const QString &settings)
{
    const QStringList parts = settings.split(u',');
    bool baudOk = false;
    const qint32 baud = parts.value(0).toInt(&baudOk);
    if (parts.size() != 4 || !baudOk || baud <= 0 || parts[1] != u"N"_s || parts[2] != u"8"_s
        || parts[3] != u"1"_s) {
        m_error = u"Ungültige Leitungseinstellung: "_s + settings;
        return false;
    }
    m_port->setBaudRate(baud);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setStopBits(QSerialPort::OneStop);
    return true;
}

void SerialPort::setRts(bool on)
{
    m_rts = on;
    if (m_port->isOpen())
        m_port->setRequestToSend(on); // a device without modem lines refuses; that is harmless
}

void SerialPort::setRtsCtsHandshake(bool on)
{
    m_port->setFlowControl(on ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
}

bool SerialPort::open()
{
    m_error.clear();
    if (m_port->isOpen()) {
        m_error = u"Port ist bereits offen"_s;
        return false;
    }
    const QString device = m_table ? m_table(m_portNumber) : QString();
    if (device.isEmpty()) {
        m_error = u"Kein Gerät für COM"_s + QString::number(m_portNumber);
        return false;
    }
    m_port->setPortName(device);
    if (!m_port->open(QIODevice::ReadWrite)) {
        m_error = m_port->errorString();
        return false;
    }
    // Pseudo-terminals and some adapters have no modem lines: RTS is best effort.
    if (m_rts && m_port->flowControl() != QSerialPort::HardwareControl)
        m_port->setRequestToSend(true);
    m_port->clearError();
    ++m_opened;
    emit portOpened();
    return true;
}

void SerialPort::close()
{
    if (m_port->isOpen())
        closePort();
}

void SerialPort::closePort()
{
    // The port keeps its write buffer over a close and would send it on the next link; the
    // driver may still hold bytes too (and a real adapter waits for them on close).
    m_port->clear(QSerialPort::Output);
    m_port->close();
    emit portClosed();
}

void SerialPort::discardOutput()
{
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Output);
}

bool SerialPort::isOpen() const
{
    return m_port->isOpen();
}

qint64 SerialPort::waitingCount() const
{
    if (!m_port->isOpen())
        return 0;
    // What the system holds for the port counts too: it is waiting, only not fetched yet.
    int inSystem = 0;
    if (::ioctl(int(m_port->handle()), FIONREAD, &inSystem) != 0)
        inSystem = 0;
    return m_port->bytesAvailable() + inSystem;
}

QByteArray SerialPort::readAll()
{
    return m_port->readAll();
}

qint32 SerialPort::baudRate() const
{
    return m_port->baudRate();
}

bool SerialPort::write(const QByteArray &data)
{
    if (!m_port->isOpen()) {
        m_error = u"Port ist nicht offen"_s;
        return false;
    }
    return m_port->write(data) == data.size();
}

qint64 SerialPort::pendingWrite() const
{
    return m_port->bytesToWrite();
}

void SerialPort::onError(int error)
{
    if (error == QSerialPort::NoError)
        return;
    m_error = m_port->errorString();
    // The device is gone (unplugged adapter, or a pseudo-terminal whose other end closed,
    // which reports read errors without end). Closing stops the flood; the owner hears of it
    // once. The close waits for the event loop: closing frees the port's own notifiers, and
    // this runs inside one of their signals.
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError;
    if (!gone || !m_port->isOpen() || m_lossNoticed)
        return;
    m_lossNoticed = true;
    const quint64 lostOpen = m_opened;
    QMetaObject::invokeMethod(
        this,
        [this, lostOpen] {
            m_lossNoticed = false;
            if (m_opened != lostOpen || !m_port->isOpen())
                return;
            closePort();
            emit deviceLost();
        },
        Qt::QueuedConnection);
}
