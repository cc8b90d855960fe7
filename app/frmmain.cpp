// The program's one window: controls, start-up, shut-down and the buttons' handlers.
#include "frmmain.h"

#include "can.h"
#include "eventpump.h"
#include "framerelay.h"
#include "httpserver.h"
#include "numbertext.h"
#include "socket.h"
#include "socketarray.h"
#include "timerarray.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kFirstProbedPort = 1;
constexpr int kLastProbedPort = 16;
constexpr quint16 kFramePort = 15731;
constexpr quint16 kEchoPort = 15730;
constexpr int kLowestTcpPort = 1;
constexpr int kHighestTcpPort = 65535;
constexpr QSize kClientSize(234, 414);
constexpr QSize kButtonSize(89, 25);
const QString kDefaultPeerHost = u"localhost"_s;
const QString kServerName = u"Lorvane HTTP Server Version 1.00"_s;

QLabel *statusLine(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAutoFillBackground(true);
    return label;
}

void setWhiteBackground(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, QColor(255, 255, 255));
    label->setPalette(palette);
}

QPushButton *button(const QString &caption, const QString &name, QWidget *parent)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->resize(kButtonSize);
    return b;
}

} // namespace

FrmMain::FrmMain(SerialPort::PortTable portTable, QString programFolder, QWidget *parent)
    : QWidget(parent)
    , TSendData(new TimerArray(this))
    , Winsock1(new SocketArray(this))
    , TCPListen(new Socket(this))
    , UDPSend(new Socket(this))
    , UDPListen(new Socket(this))
    , MSComm1(new SerialPort(std::move(portTable), this))
    , m_relay(new FrameRelay(*MSComm1, *TCPListen, *UDPListen, *UDPSend, *this, this))
    , m_http(new HttpServer(*Winsock1, *TSendData, *this, this))
    , m_programFolder(std::move(programFolder))
{
    setObjectName(u"FrmMain"_s);
    buildControls();
    connectHandlers();
    Form_Load();
}

FrmMain::~FrmMain() = default;

QString FrmMain::executableFolder()
{
    return QCoreApplication::applicationDirPath();
}

void FrmMain::buildControls()
{
    setWindowTitle(u"Quenvar"_s);
    setFixedSize(kClientSize);

    ServerFrame = new QGroupBox(u"HTTP-Server"_s, this);
    ServerFrame->setObjectName(u"ServerFrame"_s);
    ServerFrame->setGeometry(8, 6, 217, 153);
    Label1 = new QLabel(u"IP:"_s, ServerFrame);
    Label1->setGeometry(8, 24, 20, 21);
    Text1 = new QLineEdit(ServerFrame);
    Text1->setGeometry(30, 24, 112, 21);
    Label6 = new QLabel(u":"_s, ServerFrame);
    Label6->setGeometry(144, 24, 8, 21);
    Text2 = new QLineEdit(u"80"_s, ServerFrame);
    Text2->setGeometry(154, 24, 55, 21);
    Label2 = new QLabel(u"Name"_s, ServerFrame);
    Label2->setGeometry(8, 52, 40, 21);
    Text5 = new QLineEdit(ServerFrame);
    Text5->setGeometry(50, 52, 159, 21);
    Command1 = button(u"Öffnen"_s, u"Command1"_s, ServerFrame);
    Command1->move(8, 82);
    Command2 = button(u"Schließen"_s, u"Command2"_s, ServerFrame);
    Command2->move(120, 82);
    LFileProgress = statusLine(u"Not connected"_s, ServerFrame);
    LFileProgress->setGeometry(8, 112, 201, 34);

    CANFrame = new QGroupBox(u"USB-CAN"_s, this);
    CANFrame->setObjectName(u"CANFrame"_s);
    CANFrame->setGeometry(8, 166, 217, 185);
    Label3 = new QLabel(u"COM Port"_s, CANFrame);
    Label3->setGeometry(8, 24, 64, 22);
    Combo1 = new QComboBox(CANFrame);
    Combo1->setGeometry(80, 24, 129, 22);
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Label4 = new QLabel(u"Baudrate"_s, CANFrame);
    Label4->setGeometry(8, 54, 64, 21);
    Text6 = new QLineEdit(CANFrame);
    Text6->setGeometry(80, 54, 129, 21);
    Command3 = button(u"Einstellungen übernehmen"_s, u"Command3"_s, CANFrame);
    Command3->setGeometry(8, 84, 201, 25);
    Command4 = button(u"Verbinden"_s, u"Command4"_s, CANFrame);
    Command4->move(8, 116);
    Command5 = button(u"Trennen"_s, u"Command5"_s, CANFrame);
    Command5->move(120, 116);
    Label5 = statusLine(u"nicht verbunden"_s, CANFrame);
    Label5->setGeometry(8, 146, 201, 32);

    Command6 = button(u"Ende"_s, u"Command6"_s, this);
    Command6->move((kClientSize.width() - kButtonSize.width()) / 2, 370);

    const std::pair<QWidget *, const char *> names[] = {{Label1, "Label1"},
                                                        {Text1, "Text1"},
                                                        {Label6, "Label6"},
                                                        {Text2, "Text2"},
                                                        {Label2, "Label2"},
                                                        {Text5, "Text5"},
                                                        {LFileProgress, "LFileProgress"},
                                                        {Label3, "Label3"},
                                                        {Combo1, "Combo1"},
                                                        {Label4, "Label4"},
                                                        {Text6, "Text6"},
                                                        {Label5, "Label5"}};
    for (const auto &[widget, name] : names)
        widget->setObjectName(QString::fromLatin1(name));

    // Assistive technology names each field by its caption.
    Label1->setBuddy(Text1);
    Label6->setBuddy(Text2);
    Label2->setBuddy(Text5);
    Label3->setBuddy(Combo1);
    Label4->setBuddy(Text6);

    for (QLineEdit *shown : {Text1, Text2, Text5})
        shown->setEnabled(false);
    Command2->setEnabled(false);
    Command3->setEnabled(false);
    Command4->setEnabled(false);
    Command5->setEnabled(false);

    QWidget *const tabOrder[]
        = {Text1, Text5, Command1, Command2, Combo1, Text6, Command3, Command4, Command5, Command6, Text2};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void FrmMain::connectHandlers()
{
    connect(Command1, &QPushButton::clicked, this, &FrmMain::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &FrmMain::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &FrmMain::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &FrmMain::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &FrmMain::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &FrmMain::Command6_Click);
    // Combo1_Click, Combo1_Change and Combo1_LostFocus all run the selection rule.
    connect(Combo1, &QComboBox::currentIndexChanged, this, &FrmMain::applySelectionRule);
    connect(Combo1, &QComboBox::editTextChanged, this, &FrmMain::applySelectionRule);
    Combo1->installEventFilter(this);
    Text6->installEventFilter(this);
    connect(MSComm1, &SerialPort::deviceLost, this, &FrmMain::onSerialDeviceLost);
}

bool FrmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Text6 && event->type() == QEvent::KeyRelease)
        Text6_KeyUp();
    else if (watched == Combo1 && event->type() == QEvent::FocusOut)
        applySelectionRule();
    return QWidget::eventFilter(watched, event);
}

void FrmMain::Form_Load()
{
    setWhiteBackground(LFileProgress);
    setWhiteBackground(Label5);
    Text1->setText(Socket::localIpAddress());
    Text5->setText(Socket::localHostName());
    Command1->setEnabled(true);
    Command2->setEnabled(false);
    Combo1->setCurrentIndex(-1);
    for (int n = kFirstProbedPort; n <= kLastProbedPort; ++n) {
        if (COM_Port_Available(n))
            Combo1->addItem(u"COM"_s + QString::number(n));
    }
    // addItem selects the first entry of an empty list; the user has chosen nothing yet.
    Combo1->setCurrentIndex(-1);
    CANFrame->hide();
}

bool FrmMain::COM_Port_Available(int n)
{
    MSComm1->setPortNumber(n);
    if (MSComm1->isOpen())
        return false;
    if (!MSComm1->open())
        return false;
    MSComm1->close();
    return true;
}

void FrmMain::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void FrmMain::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // A ping wait in progress must not hold the closing window.
    if (CAN_Link)
        CAN_Link->abortWait();
    for (int i = 0; i < Winsock1->highestIndex(); ++i)
        m_http->WinSock1_Close(i);
    UDPSend->close();
    UDPListen->close();
    TCPListen->close();
}

void FrmMain::Command6_Click()
{
    close();
}

void FrmMain::Command1_Click()
{
    m_setupFailures.clear();
    m_http->setServerName(kServerName);
    if (m_http->WebRoot().isEmpty())
        m_http->setWebRoot(m_programFolder);
    if (PeerHost.isEmpty())
        PeerHost = kDefaultPeerHost;
    const std::optional<int> httpPort
        = roundToRange(leadingNumber(Text2->text()), kLowestTcpPort, kHighestTcpPort);

    if (UDPListen->state() == Socket::Closed) {
        UDPListen->setProtocol(Socket::Udp);
        FramePort = qint16(kFramePort);
        UDPListen->setLocalPort(kFramePort);
        if (!UDPListen->bind(kFramePort, PeerHost))
            reportSetupFailure(u"UDP-Port"_s, kFramePort, *UDPListen);
        EventPump::runPending();
    }
    if (UDPSend->state() == Socket::Closed) {
        UDPSend->setProtocol(Socket::Udp);
        UDPSend->setRemotePort(kEchoPort);
        if (!UDPSend->connectTo(PeerHost, kEchoPort))
            reportSetupFailure(u"UDP-Sendeport"_s, kEchoPort, *UDPSend);
        EventPump::runPending();
    }
    if (TCPListen->state() == Socket::Closed) {
        TCPListen->setProtocol(Socket::Tcp);
        TCPListen->setLocalPort(quint16(FramePort));
        if (!TCPListen->listen())
            reportSetupFailure(u"TCP-Port"_s, quint16(FramePort), *TCPListen);
        EventPump::runPending();
    }
    Socket *listener = Winsock1->at(0);
    if (listener->state() == Socket::Closed) {
        listener->setProtocol(Socket::Tcp);
        if (!httpPort) {
            m_setupFailures.append(u"HTTP-Port \""_s + Text2->text() + u"\" ist ungültig"_s);
        } else {
            listener->setLocalPort(quint16(*httpPort));
            if (!listener->listen())
                reportSetupFailure(u"HTTP-Port"_s, *httpPort, *listener);
        }
        EventPump::runPending();
    }
    if (listener->state() == Socket::Listening)
        showNetworkStatus(u"Listening"_s);
    Command1->setEnabled(false);
    Command2->setEnabled(true);

    if (UDPListen->state() == Socket::Open) {
        showNetworkStatus(u"UDP-Betrieb über Port "_s + QString::number(kEchoPort));
        if (!CAN_Link) {
            CAN_Link = std::make_unique<CAN>(*MSComm1, *this, m_programFolder + u"/RIri.ini"_s);
            m_relay->setTranslator(CAN_Link.get());
            CAN_Link->ini_lesen();
        }
        CANFrame->show();
        applySelectionRule();
    }
    // A port that could not be opened is the news the user needs; it stays visible.
    if (!m_setupFailures.isEmpty())
        showNetworkStatus(m_setupFailures.join(u"; "_s));
}

void FrmMain::reportSetupFailure(const QString &what, int port, const Socket &socket)
{
    m_setupFailures.append(what + u" "_s + QString::number(port) + u" kann nicht geöffnet werden: "_s
                           + socket.errorString());
}

void FrmMain::Command2_Click()
{
    Command1->setEnabled(true);
    Command2->setEnabled(false);
    for (int index = 0; index < Winsock1->highestIndex(); ++index)
        m_http->WinSock1_Close(index);
    UDPListen->close();
    UDPSend->close();
    TCPListen->close();
}

bool FrmMain::validSelection() const
{
    return !Text6->text().isEmpty() && Combo1->currentIndex() >= 0;
}

void FrmMain::applySelectionRule()
{
    if (!CAN_Link || !validSelection())
        return;
    CAN_Link->setCOM_Port(Combo1->currentText().mid(3));
    // A speed that is no number is not taken, and nothing can be applied.
    Command3->setEnabled(CAN_Link->setCOM_Speed(Text6->text()));
}

void FrmMain::Text6_KeyUp()
{
    applySelectionRule();
    if (!validSelection())
        Command3->setEnabled(false);
}

void FrmMain::Command3_Click()
{
    CAN_Link->setCOM_Port(Combo1->currentText().mid(3));
    CAN_Link->setCOM_Speed(Text6->text());
    Command3->setEnabled(false);
    Command4->setEnabled(true);
    CAN_Link->ini_Schreiben();
}

void FrmMain::Command4_Click()
{
    if (CAN_Link->Verbindungs_Status()) {
        showLinkStatus(CAN_Link->Trennen());
        Combo1->setEnabled(true);
        Text6->setEnabled(true);
        return;
    }
    showLinkStatus(CAN_Link->Verbinden());
    if (!CAN_Link->Verbindungs_Status())
        return;
    Command4->setEnabled(false);
    Combo1->setEnabled(false);
    Text6->setEnabled(false);
    qint16 timeOut = 10;
    if (CAN_Link->Command_Execute(u"Ping"_s, timeOut) != CAN::Failed)
        Command5->setEnabled(true);
}

void FrmMain::Command5_Click()
{
    showLinkStatus(CAN_Link->Trennen());
    Combo1->setEnabled(true);
    Text6->setEnabled(true);
    Command5->setEnabled(false);
    // Only a speed that is a number can be applied.
    if (validSelection() && numberFromText(Text6->text()))
        Command3->setEnabled(true);
}

void FrmMain::onSerialDeviceLost()
{
    // An unplugged adapter ends the link as "Trennen" would.
    if (CAN_Link && CAN_Link->Verbindungs_Status())
        Command5_Click();
}

void FrmMain::showLinkStatus(const QString &text)
{
    Label5->setText(text);
    emit statusTextChanged(Label5->objectName(), text);
}

void FrmMain::setControlEnabled(Control control, bool enabled)
{
    switch (control) {
    case Control::Command3: Command3->setEnabled(enabled); break;
    case Control::Command4: Command4->setEnabled(enabled); break;
    case Control::Command5: Command5->setEnabled(enabled); break;
    case Control::Combo1: Combo1->setEnabled(enabled); break;
    case Control::Text6: Text6->setEnabled(enabled); break;
    }
}

int FrmMain::comboSelectedIndex() const
{
    return Combo1->currentIndex();
}
void FrmMain::setComboSelectedIndex(int index)
{
    Combo1->setCurrentIndex(index);
}
int FrmMain::comboCount() const
{
    return Combo1->count();
}
QString FrmMain::comboEntry(int index) const
{
    return Combo1->itemText(index);
}
QString FrmMain::comboText() const
{
    return Combo1->currentText();
}
QString FrmMain::baudText() const
{
    return Text6->text();
}
void FrmMain::setBaudText(const QString &text)
{
    Text6->setText(text);
}

void FrmMain::showNetworkStatus(const QString &text)
{
    LFileProgress->setText(text);
    emit statusTextChanged(LFileProgress->objectName(), text);
}

void FrmMain::setServerButtons(bool openEnabled)
{
    Command1->setEnabled(openEnabled);
    Command2->setEnabled(!openEnabled);
}
