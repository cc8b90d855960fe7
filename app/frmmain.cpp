// The program's one window: controls, start-up, shut-down and the buttons' handlers.
#include "frmmain.h"

#include "can.h"
#include "devicewatch.h"
#include "focussuccession.h"
#include "framerelay.h"
#include "httpserver.h"
#include "numbertext.h"
#include "portproblems.h"
#include "socketarray.h"
#include "socketcalls.h"
#include "udpsocket.h"
#include "statusline.h"
#include "timerarray.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kFirstProbedPort = 1;
constexpr int kLastProbedPort = 16;
constexpr int kLowestTcpPort = 1;
constexpr int kHighestTcpPort = 65535;
constexpr QSize kClientSize(234, 414);
constexpr QSize kButtonSize(89, 25);
const QString kBaudExample = u"z. B. 115200"_s;
const QString kBaudRefused
    = u"Keine gültige Baudrate: bitte eine ganze Zahl größer als 0 eingeben, z. B. 115200."_s;

// Text and background from one pair of the palette, the one made for text fields: white with dark
// text in a light theme, and still readable in a dark one or after the theme changes.
void setFieldColours(QLabel *label)
{
    label->setBackgroundRole(QPalette::Base);
    label->setForegroundRole(QPalette::Text);
}

// The folders the device files of the numbered ports are in.
QStringList deviceFolders(const SerialPort::PortTable &portTable)
{
    QStringList folders;
    for (int n = kFirstProbedPort; n <= kLastProbedPort; ++n) {
        const QString device = portTable ? portTable(n) : QString();
        const QString folder = device.isEmpty() ? QString() : QFileInfo(device).absolutePath();
        if (!folder.isEmpty() && !folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

QPushButton *button(const QString &caption, const QString &name, QWidget *parent)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    return b;
}

} // namespace

FrmMain::FrmMain(SerialPort::PortTable portTable, QString programFolder, QWidget *parent)
    : QWidget(parent)
    , TSendData(new TimerArray(this))
    , Winsock1(new SocketArray(this))
    , TCPListen(new TcpListener(this))
    , TCPClient(new TcpConnection(this))
    , UDPSend(new UdpSocket(this))
    , UDPListen(new UdpSocket(this))
    , MSComm1(new SerialPort(portTable, this))
    , m_deviceWatch(new DeviceWatch(deviceFolders(portTable), this))
    , m_focus(new FocusSuccession(this))
    , m_relay(new FrameRelay(*MSComm1, *TCPListen, *TCPClient, *UDPListen, *UDPSend, *this, this))
    , m_http(new HttpServer(*Winsock1, *TSendData, *this, this))
    , m_endpoints(*UDPListen, *UDPSend, *TCPListen, *TCPClient, *Winsock1, *m_http, programFolder)
    , m_programFolder(programFolder)
{
    setObjectName(u"FrmMain"_s);
    buildControls();
    arrangeKeyboard();
    connectHandlers();
    Form_Load();
    // After the start-up, which fills the address field the layout makes room for.
    m_layout.apply(this, kClientSize);
    focusFirstControl();
}

FrmMain::~FrmMain() = default;

QString FrmMain::executableFolder()
{
    return QCoreApplication::applicationDirPath();
}

void FrmMain::buildControls()
{
    using Need = WindowLayout::Need;
    setWindowTitle(u"Quenvar"_s);

    ServerFrame = new QGroupBox(u"HTTP-Server"_s, this);
    ServerFrame->setObjectName(u"ServerFrame"_s);
    m_layout.place(ServerFrame, {8, 6, 217, 153}, Need::Frame);
    Label1 = new QLabel(u"IP:"_s, ServerFrame);
    m_layout.place(Label1, {8, 24, 20, 21}, Need::Caption);
    Text1 = new QLineEdit(ServerFrame);
    m_layout.place(Text1, {30, 24, 112, 21}, Need::FieldWithValue);
    Label6 = new QLabel(u":"_s, ServerFrame);
    m_layout.place(Label6, {144, 24, 8, 21}, Need::Caption);
    Text2 = new QLineEdit(u"80"_s, ServerFrame);
    m_layout.place(Text2, {154, 24, 55, 21}, Need::FieldWithValue);
    Label2 = new QLabel(u"Name"_s, ServerFrame);
    m_layout.place(Label2, {8, 52, 40, 21}, Need::Caption);
    Text5 = new QLineEdit(ServerFrame);
    m_layout.place(Text5, {50, 52, 159, 21}, Need::Field);
    Command1 = button(u"Öffnen"_s, u"Command1"_s, ServerFrame);
    m_layout.place(Command1, {{8, 82}, kButtonSize}, Need::Caption);
    Command2 = button(u"Schließen"_s, u"Command2"_s, ServerFrame);
    m_layout.place(Command2, {{120, 82}, kButtonSize}, Need::Caption);
    LFileProgress = new StatusLine(u"Not connected"_s, ServerFrame);
    m_layout.place(LFileProgress, {8, 112, 201, 34}, Need::StatusLine);

    CANFrame = new QGroupBox(u"USB-CAN"_s, this);
    CANFrame->setObjectName(u"CANFrame"_s);
    m_layout.place(CANFrame, {8, 166, 217, 185}, Need::Frame);
    Label3 = new QLabel(u"COM Port"_s, CANFrame);
    m_layout.place(Label3, {8, 24, 64, 22}, Need::Caption);
    Combo1 = new QComboBox(CANFrame);
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    m_layout.place(Combo1, {80, 24, 129, 22}, Need::Choice);
    Label4 = new QLabel(u"Baudrate"_s, CANFrame);
    m_layout.place(Label4, {8, 54, 64, 21}, Need::Caption);
    Text6 = new QLineEdit(CANFrame);
    Text6->setPlaceholderText(kBaudExample);
    m_layout.place(Text6, {80, 54, 129, 21}, Need::Field);
    Command3 = button(u"Einstellungen übernehmen"_s, u"Command3"_s, CANFrame);
    m_layout.place(Command3, {8, 84, 201, 25}, Need::Caption);
    Command4 = button(u"Verbinden"_s, u"Command4"_s, CANFrame);
    m_layout.place(Command4, {{8, 116}, kButtonSize}, Need::Caption);
    Command5 = button(u"Trennen"_s, u"Command5"_s, CANFrame);
    m_layout.place(Command5, {{120, 116}, kButtonSize}, Need::Caption);
    Label5 = new StatusLine(u"nicht verbunden"_s, CANFrame);
    m_layout.place(Label5, {8, 146, 201, 32}, Need::StatusLine);

    Command6 = button(u"Ende"_s, u"Command6"_s, this);
    m_layout.place(Command6, {{(kClientSize.width() - kButtonSize.width()) / 2, 370}, kButtonSize},
                   Need::Caption);

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
}

void FrmMain::arrangeKeyboard()
{
    m_tabOrder
        = {Text1, Text5, Command1, Command2, Combo1, Text6, Command3, Command4, Command5, Command6, Text2};
    for (size_t i = 1; i < std::size(m_tabOrder); ++i)
        setTabOrder(m_tabOrder[i - 1], m_tabOrder[i]);
    // Enter presses the focused button as Space does.
    for (QPushButton *b : {Command1, Command2, Command3, Command4, Command5, Command6})
        b->setAutoDefault(true);
    // A pressed button that disables itself hands the focus to the one that
    // continues the work, never on to "Ende". "Verbinden" waits for the ping:
    // "Trennen" when it is answered, "Verbinden" again when it is not, and
    // "Einstellungen übernehmen" when the adapter was unplugged meanwhile.
    m_focus->add(Command1, {Command2});
    m_focus->add(Command2, {Command1});
    m_focus->add(Command3, {Command4});
    m_focus->add(Command4, {Command5, Command4, Command3});
    m_focus->add(Command5, {Command4, Combo1});
    m_focus->add(Combo1, {Command5, Command4});
    m_focus->add(Text6, {Command5, Command4});
}

void FrmMain::focusFirstControl()
{
    for (QWidget *control : m_tabOrder) {
        if (control->isEnabled() && control->isVisibleTo(this)) {
            control->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

bool FrmMain::focusNextPrevChild(bool next)
{
    // Qt asks for the next control when the focused one is disabled; a
    // handler that disables its own button decides where the focus goes.
    QWidget *const focused = focusWidget();
    if (focused && !focused->isEnabled() && m_focus->hasSuccessors(focused))
        return m_focus->passFocusOn(focused);
    return QWidget::focusNextPrevChild(next);
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
    connect(Text6, &QLineEdit::textChanged, this, &FrmMain::explainBaudText);
    // Also for text that comes without a key: pasted with the mouse, or dropped.
    connect(Text6, &QLineEdit::textChanged, this, &FrmMain::Text6_KeyUp);
    Combo1->installEventFilter(this);
    Text6->installEventFilter(this);
    connect(MSComm1, &SerialPort::deviceLost, this, &FrmMain::onSerialDeviceLost);
    // The list is read again once a device came or went; never under an open port, which the
    // probe would report as not available.
    connect(m_deviceWatch, &DeviceWatch::changed, this, [this] {
        m_portsChanged = true;
        if (!MSComm1->isOpen())
            fillPortList();
    });
    connect(MSComm1, &SerialPort::portClosed, this, [this] {
        if (m_portsChanged)
            fillPortList();
    });
    for (StatusLine *line : {LFileProgress, Label5}) {
        connect(line, &StatusLine::textShown, this,
                [this, line](const QString &text) { emit statusTextChanged(line->objectName(), text); });
    }
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
    setFieldColours(LFileProgress);
    setFieldColours(Label5);
    Text1->setText(SocketCalls::localIpAddress());
    Text5->setText(SocketCalls::localHostName());
    Command1->setEnabled(true);
    Command2->setEnabled(false);
    Combo1->setCurrentIndex(-1);
    fillPortList();
    CANFrame->hide();
}

void FrmMain::fillPortList()
{
    m_portsChanged = false;
    const QString chosen = Combo1->currentIndex() >= 0 ? Combo1->currentText() : QString();
    PortProblems::ProbeReport report;
    {
        // Rebuilt as a whole; the user's choice is kept when its port is still there.
        const QSignalBlocker quiet(Combo1);
        Combo1->clear();
        for (int n = kFirstProbedPort; n <= kLastProbedPort; ++n) {
            const QString entry = u"COM"_s + QString::number(n);
            if (COM_Port_Available(n)) {
                Combo1->addItem(entry);
                continue;
            }
            // A device that exists but did not open is worth a word; one that is not there is not.
            const SerialDiagnosis::OpenProblem problem = SerialDiagnosis::diagnose(MSComm1->devicePath());
            if (problem.kind != SerialDiagnosis::OpenProblem::Kind::Missing)
                report.add(entry, PortProblems::reason(problem, MSComm1->devicePath()));
        }
        // addItem selects the first entry of an empty list; only a choice the user made stays.
        Combo1->setCurrentIndex(chosen.isEmpty() ? -1 : Combo1->findText(chosen));
    }
    if (!validSelection())
        Command3->setEnabled(false);
    // A hint that no longer holds gives way; a new one is shown, also over other news.
    const QString hint = report.text();
    if (hint != m_portHint && (!hint.isEmpty() || Label5->text() == m_portHint))
        Label5->showText(hint.isEmpty() ? u"nicht verbunden"_s : hint);
    m_portHint = hint;
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

void FrmMain::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::FontChange || m_relayoutPending)
        return;
    // Laid out once the new font has reached every control.
    m_relayoutPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_relayoutPending = false;
            m_layout.apply(this, kClientSize);
        },
        Qt::QueuedConnection);
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
    m_endpoints.closeForShutdown();
    m_relay->closeClients();
}

void FrmMain::Command6_Click()
{
    close();
}

void FrmMain::Command1_Click()
{
    // Read once: the set-up lets events run, and the report must name the text that was refused.
    const QString httpPortText = Text2->text();
    const std::optional<int> httpPort
        = roundToRange(leadingNumber(httpPortText), kLowestTcpPort, kHighestTcpPort);
    const QList<NetworkEndpoints::SetupFailure> failures
        = m_endpoints.open(httpPort ? std::optional<quint16>(quint16(*httpPort)) : std::nullopt);
    if (m_endpoints.httpListening())
        LFileProgress->showText(u"Listening"_s);
    Command1->setEnabled(false);
    Command2->setEnabled(true);

    if (m_endpoints.udpOpen()) {
        LFileProgress->showText(u"UDP-Betrieb über Port "_s + QString::number(NetworkEndpoints::EchoPort));
        if (!CAN_Link) {
            CAN_Link = std::make_unique<CAN>(*MSComm1, *this, m_programFolder + u"/RIri.ini"_s);
            m_relay->setTranslator(CAN_Link.get());
            CAN_Link->ini_lesen();
        }
        CANFrame->show();
        applySelectionRule();
    }
    // A port that could not be opened is the news the user needs; it stays visible.
    if (!failures.isEmpty())
        LFileProgress->showText(setupFailureText(failures, httpPortText));
}

QString FrmMain::setupFailureText(const QList<NetworkEndpoints::SetupFailure> &failures,
                                  const QString &httpPortText) const
{
    QStringList reports;
    for (const NetworkEndpoints::SetupFailure &failure : failures) {
        QString what;
        switch (failure.endpoint) {
        case NetworkEndpoints::Endpoint::UdpReceive: what = u"UDP-Port"_s; break;
        case NetworkEndpoints::Endpoint::UdpSend: what = u"UDP-Sendeport"_s; break;
        case NetworkEndpoints::Endpoint::Tcp: what = u"TCP-Port"_s; break;
        case NetworkEndpoints::Endpoint::Http: what = u"HTTP-Port"_s; break;
        }
        if (!failure.port) {
            reports.append(what + u" \""_s + httpPortText + u"\" ist ungültig"_s);
            continue;
        }
        reports.append(what + u" "_s + QString::number(*failure.port) + u" kann nicht geöffnet werden: "_s
                       + failure.reason);
    }
    return reports.join(u"; "_s);
}

void FrmMain::Command2_Click()
{
    Command1->setEnabled(true);
    Command2->setEnabled(false);
    m_endpoints.close();
    m_relay->closeClients();
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

void FrmMain::explainBaudText()
{
    // An empty field shows its example; a text that is no speed says why it is not taken.
    const bool refused = !Text6->text().isEmpty() && !baudRateFromText(Text6->text());
    Text6->setToolTip(refused ? kBaudRefused : QString());
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
        Label5->showText(CAN_Link->Trennen());
        Combo1->setEnabled(true);
        Text6->setEnabled(true);
        return;
    }
    Label5->showText(CAN_Link->Verbinden());
    if (!CAN_Link->Verbindungs_Status()) {
        explainOpenFailure();
        return;
    }
    Command4->setEnabled(false);
    Combo1->setEnabled(false);
    Text6->setEnabled(false);
    qint16 timeOut = 10;
    if (CAN_Link->Command_Execute(u"Ping"_s, timeOut) != CAN::Failed)
        Command5->setEnabled(true);
}

void FrmMain::Command5_Click()
{
    Label5->showText(CAN_Link->Trennen());
    Combo1->setEnabled(true);
    Text6->setEnabled(true);
    Command5->setEnabled(false);
    // Only a speed that is a number can be applied.
    if (validSelection() && baudRateFromText(Text6->text()))
        Command3->setEnabled(true);
}

void FrmMain::explainOpenFailure()
{
    // Only an open that was tried has a device to look at; a port text out of range never got that far.
    const std::optional<int> number
        = roundToRange(leadingNumber(CAN_Link->COM_Port()), std::numeric_limits<qint16>::min(),
                       std::numeric_limits<qint16>::max());
    if (!number || *number != MSComm1->portNumber() || MSComm1->devicePath().isEmpty())
        return;
    const QString device = MSComm1->devicePath();
    const QString reason = PortProblems::reason(SerialDiagnosis::diagnose(device), device);
    // Shown after the link's own text, so that the reason is what stays visible.
    if (!reason.isEmpty())
        Label5->showText(Label5->text() + u": "_s + reason);
}

void FrmMain::onSerialDeviceLost()
{
    // An unplugged adapter ends the link as "Trennen" would.
    if (CAN_Link && CAN_Link->Verbindungs_Status()) {
        Command5_Click();
        emit linkLost();
    }
}

void FrmMain::setFrameClients(int most)
{
    m_relay->setMostClients(most);
}

void FrmMain::showHttpPort(quint16 port)
{
    Text2->setText(QString::number(port));
}

void FrmMain::showLinkStatus(const QString &text)
{
    Label5->showText(text);
}

void FrmMain::setControlEnabled(Control control, bool enabled)
{
    switch (control) {
    case Control::Command4: Command4->setEnabled(enabled); break;
    case Control::Command5: Command5->setEnabled(enabled); break;
    }
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
void FrmMain::setBaudText(const QString &text)
{
    Text6->setText(text);
}

void FrmMain::showNetworkStatus(const QString &text)
{
    LFileProgress->showText(text);
}

void FrmMain::setServerButtons(bool openEnabled)
{
    Command1->setEnabled(openEnabled);
    Command2->setEnabled(!openEnabled);
}
