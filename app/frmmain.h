// The program's one window: its controls, start-up, shut-down and the buttons' handlers.
#pragma once

#include "linkwindow.h"
#include "networkendpoints.h"
#include "relaywindow.h"
#include "serialport.h"
#include "serverwindow.h"
#include "windowlayout.h"

#include <QWidget>
#include <array>
#include <memory>

class CAN;
class DeviceWatch;
class FocusSuccession;
class FrameRelay;
class HttpServer;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SocketArray;
class TcpConnection;
class TcpListener;
class UdpSocket;
class StatusLine;
class TimerArray;

class FrmMain : public QWidget, public LinkWindow, public RelayWindow, public ServerWindow
{
    Q_OBJECT
public:
    // The port table decides which device file each numbered port is; the
    // program folder (normally the executable's) holds RIri.ini and is served.
    explicit FrmMain(SerialPort::PortTable portTable = &SerialPort::linuxDevice,
                     QString programFolder = executableFolder(), QWidget *parent = nullptr);
    ~FrmMain() override;

    static QString executableFolder();

    // LinkWindow
    void showLinkStatus(const QString &text) override;
    void setControlEnabled(Control control, bool enabled) override;
    void setComboSelectedIndex(int index) override;
    int comboCount() const override;
    QString comboEntry(int index) const override;
    void setBaudText(const QString &text) override;

    // The HTTP port "Öffnen" opens, in place of 80.
    void showHttpPort(quint16 port);
    // How many frame clients are served at once (before "Öffnen"); 1 is the window's own way.
    void setFrameClients(int most);
    // Why serial ports that exist are not offered; empty when every one opened.
    QString portHint() const { return m_portHint; }

    // RelayWindow and ServerWindow
    void showNetworkStatus(const QString &text) override;
    void setServerButtons(bool openEnabled) override;

    // What the tests and the benchmark look at; none of it is used by the handlers.
    CAN *canLink() const { return CAN_Link.get(); }
    HttpServer *httpServer() const { return m_http; }
    SerialPort *serialPort() const { return MSComm1; }
    TcpListener *tcpListen() const { return TCPListen; }
    TcpConnection *tcpClient() const { return TCPClient; }

signals:
    // Every text either status line gets, as it gets it; lineName is "LFileProgress" or "Label5".
    void statusTextChanged(const QString &lineName, const QString &text);
    // The serial device went away under an open link, which is now closed as "Trennen" closes it.
    void linkLost();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void buildControls();
    void arrangeKeyboard();
    void focusFirstControl();
    void connectHandlers();

    void Form_Load();
    void Form_Unload();
    bool COM_Port_Available(int n);
    void fillPortList();
    void explainOpenFailure();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();
    void Text6_KeyUp();
    void explainBaudText();
    void applySelectionRule();
    bool validSelection() const;
    void onSerialDeviceLost();
    QString setupFailureText(const QList<NetworkEndpoints::SetupFailure> &failures,
                             const QString &httpPortText) const;

    QGroupBox *ServerFrame;
    QLabel *Label1;
    QLineEdit *Text1;
    QLabel *Label6;
    QLineEdit *Text2;
    QLabel *Label2;
    QLineEdit *Text5;
    QPushButton *Command1;
    QPushButton *Command2;
    StatusLine *LFileProgress;
    QGroupBox *CANFrame;
    QLabel *Label3;
    QComboBox *Combo1;
    QLabel *Label4;
    QLineEdit *Text6;
    QPushButton *Command3;
    QPushButton *Command4;
    QPushButton *Command5;
    StatusLine *Label5;
    QPushButton *Command6;
    // The order Tab follows; disabled and hidden controls are skipped.
    std::array<QWidget *, 11> m_tabOrder {};

    TimerArray *TSendData;
    SocketArray *Winsock1;
    TcpListener *TCPListen;
    // The one frame client TCPListen accepted; while it is there, nothing listens.
    TcpConnection *TCPClient;
    UdpSocket *UDPSend;
    UdpSocket *UDPListen;
    SerialPort *MSComm1;
    DeviceWatch *m_deviceWatch;

    WindowLayout m_layout;
    bool m_relayoutPending = false;
    FocusSuccession *m_focus;
    FrameRelay *m_relay;
    HttpServer *m_http;
    NetworkEndpoints m_endpoints;
    std::unique_ptr<CAN> CAN_Link;
    QString m_programFolder;
    QString m_portHint;
    bool m_portsChanged = false;
    bool m_unloaded = false;
};
