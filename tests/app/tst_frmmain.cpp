// The window through a whole session: probe, enabling rules, settings file, open and close.
#include "can.h"
#include "devicewatch.h"
#include "fixedtexts.h"
#include "pinnedlocale.h"
#include "pseudoterminal.h"
#include "statusline.h"
#include "trackbox.h"
#include "windowdriver.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {

// Counts the paints of one widget and remembers the text each paint drew.
struct PaintWatch : QObject
{
    explicit PaintWatch(QLabel *label) { label->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            drawn = static_cast<QLabel *>(watched)->text();
        }
        return false;
    }
    int paints = 0;
    QString drawn;
};

QString accessibleName(QWidget *widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT

private:
    QByteArray readIni(const QTemporaryDir &dir)
    {
        QFile file(dir.filePath(u"RIri.ini"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void writeIni(const QTemporaryDir &dir, const QByteArray &bytes)
    {
        QFile file(dir.filePath(u"RIri.ini"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private slots:
    void startupOffersOnlyPortsThatOpen()
    {
        PseudoTerminal free3, free7, held5;
        QSerialPort holder;
        holder.setPortName(held5.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QTemporaryDir dir;
        FrmMain w(portTable({{3, free3.slavePath()},
                             {5, held5.slavePath()},
                             {7, free7.slavePath()},
                             {9, u"/dev/does-not-exist"_s},
                             {17, free3.slavePath()}}),
                  dir.path());
        WindowDriver d {w};
        QCOMPARE(d.ports(), QStringList({u"COM3"_s, u"COM7"_s}));
        QCOMPARE(d.combo()->currentIndex(), -1);
        QVERIFY(!d.canFrameShown());
        QCOMPARE(w.windowTitle(), u"Quenvar"_s);
        QCOMPARE(d.field("Text2")->text(), u"80"_s);
        for (const char *name : {"Text1", "Text2", "Text5", "Command2", "Command3", "Command4", "Command5"})
            QVERIFY2(!d.enabled(name), name);
        QVERIFY(d.enabled("Command1"));
        QCOMPARE(d.label("LFileProgress"), u"Not connected"_s);
        // Why the port that exists is not offered; the ones that do not exist are not worth a word.
        QCOMPARE(d.label("Label5"),
                 u"COM5: wird von Prozess %1 benutzt"_s.arg(QCoreApplication::applicationPid()));
        // The probe leaves every port free for other programs.
        for (const PseudoTerminal *pty : {&free3, &free7}) {
            QSerialPort other;
            other.setPortName(pty->slavePath());
            QVERIFY(other.open(QIODevice::ReadWrite));
        }
        // Nothing was read or written before "Öffnen".
        QVERIFY(!QFile::exists(dir.filePath(u"RIri.ini"_s)));
        QVERIFY(!w.canLink());
    }

    void portListFollowsDevicesThatComeAndGo()
    {
        TrackBox adapter;
        QTemporaryDir dir;
        const QString device = dir.filePath(u"ttyUSB0"_s);
        FrmMain w(portTable({{5, device}}), dir.path());
        WindowDriver d {w};
        QVERIFY(d.ports().isEmpty());
        d.open();
        QVERIFY(QFile::link(adapter.portPath(), device)); // plugged in
        QTRY_COMPARE(d.ports(), QStringList {u"COM5"_s});
        d.choosePort(u"COM5"_s);
        d.typeBaud(u"9600"_s);
        d.click("Command3");
        d.click("Command4");
        QCOMPARE(d.label("Label5"), u"Gleisbox-ID: 47431234"_s);
        // Pulled under the open link: the list is read once the link ends, and nothing is left to apply.
        QVERIFY(QFile::remove(device));
        QTest::qWait(int(2 * DeviceWatch::SettleTime.count()));
        QCOMPARE(d.ports(), QStringList {u"COM5"_s});
        d.click("Command5");
        QCOMPARE(d.ports(), QStringList());
        QVERIFY(!d.enabled("Command3"));
    }

    void statusLinesReadableInLightAndDarkPalettes()
    {
        const QPalette light = QApplication::palette();
        auto restore = qScopeGuard([&light] { QApplication::setPalette(light); });
        // From a dark button and window Qt derives white text and a black base.
        const QPalette dark(QColor(0x45, 0x45, 0x45), QColor(0x35, 0x35, 0x35));
        for (const bool isDark : {false, true}) {
            QApplication::setPalette(isDark ? dark : light);
            QTemporaryDir dir;
            FrmMain w(portTable({}), dir.path());
            for (auto *line :
                 {w.findChild<QLabel *>(u"LFileProgress"_s), w.findChild<QLabel *>(u"Label5"_s)}) {
                const QColor text = line->palette().color(line->foregroundRole());
                const QColor background = line->grab().toImage().pixelColor(0, 0);
                QVERIFY2(std::abs(text.lightnessF() - background.lightnessF()) > 0.5,
                         qPrintable(line->objectName()));
                QVERIFY(isDark || background == QColor(Qt::white));
            }
        }
    }

    void wholeSessionFollowsTheEnablingRules()
    {
        PseudoTerminal port3;
        QTemporaryDir dir;
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};

        d.open();
        QVERIFY(!d.enabled("Command1"));
        QVERIFY(d.enabled("Command2"));
        QVERIFY(d.canFrameShown());
        QCOMPARE(d.label("LFileProgress"), u"UDP-Betrieb über Port 15730"_s);
        QVERIFY(w.canLink());
        // No settings file: the field shows the new object's speed.
        QCOMPARE(d.field("Text6")->text(), u"0"_s);
        QVERIFY(!d.enabled("Command3"));

        d.choosePort(u"COM3"_s);
        QVERIFY2(!d.enabled("Command3"), "0 baud is no speed");
        d.typeBaud(u"96x"_s);
        QVERIFY2(!d.enabled("Command3"), "a speed that is no number cannot be applied");
        d.typeBaud(u""_s);
        QVERIFY(!d.enabled("Command3"));
        d.typeBaud(u"9600"_s);
        QVERIFY(d.enabled("Command3"));
        d.field("Text6")->insert(u"x"_s); // pasted with the mouse: no key is released
        QVERIFY(!d.enabled("Command3"));
        d.typeBaud(u"9600"_s);
        QCOMPARE(w.canLink()->COM_Port(), u"3"_s);
        QCOMPARE(w.canLink()->COM_Speed(), u"9600"_s);

        d.click("Command3");
        QVERIFY(!d.enabled("Command3"));
        QVERIFY(d.enabled("Command4"));
        QCOMPARE(readIni(dir), settingsText(3, 9600));

        // "Verbinden" opens and pings; nothing answers on this port, so the
        // wait ends after its ten seconds with the link still open, and the focus back on it.
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        d.button("Command4")->setFocus();
        QElapsedTimer waited;
        waited.start();
        d.click("Command4");
        QCOMPARE(d.focused(), d.button("Command4"));
        QVERIFY(waited.elapsed() >= 10'000 && waited.elapsed() < 12'500);
        QCOMPARE(d.label("Label5"), u"keine Verbindung"_s);
        QVERIFY(w.canLink()->Verbindungs_Status());
        QVERIFY(d.enabled("Command4"));
        QVERIFY(!d.enabled("Command5"));
        QVERIFY(!d.enabled("Combo1"));
        QVERIFY(!d.enabled("Text6"));

        // "Verbinden" on the open link closes it.
        d.click("Command4");
        QCOMPARE(d.label("Label5"), u"Verbindung getrennt"_s);
        QVERIFY(!w.canLink()->Verbindungs_Status());
        QVERIFY(d.enabled("Combo1"));
        QVERIFY(d.enabled("Text6"));
        QVERIFY(d.enabled("Command4"));
    }

    void settingsFileIsReadByTheMarkerRules_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("baud");
        QTest::addColumn<bool>("applicable");
        QTest::newRow("blanks around the port")
            << QByteArray("riri\r\nPortNr= 5 \r\nBaudRate=115200\r\n") << u"COM5"_s << u"115200"_s << true;
        QTest::newRow("port not offered") << settingsText(6, 115200) << QString() << u"115200"_s << false;
        QTest::newRow("marker with more text, later group wins") << QByteArray(
            "ririXYZ\r\nPortNr=6\r\nBaudRate=1200\r\nx\r\nriri\r\nPortNr=5\r\nBaudRate=57600\r\n")
                                                                 << u"COM5"_s << u"57600"_s << true;
        QTest::newRow("second line no port, third still read")
            << QByteArray("riri\r\nportnr=5\r\nBaudRate=4800\r\n") << QString() << u"4800"_s << false;
        QTest::newRow("no marker") << QByteArray("PortNr=5\r\nBaudRate=4800\r\n") << QString() << u"0"_s
                                   << false;
        QTest::newRow("short file keeps what was read")
            << QByteArray("riri\r\nPortNr=5") << u"COM5"_s << u"0"_s << false;
        QTest::newRow("speed no number")
            << QByteArray("riri\r\nPortNr=5\r\nBaudRate=fast\r\n") << u"COM5"_s << u"0"_s << false;
        QTest::newRow("bare line feeds")
            << QByteArray("riri\nPortNr=5\nBaudRate=19200\n") << u"COM5"_s << u"19200"_s << true;
    }
    void settingsFileIsReadByTheMarkerRules()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, selected);
        QFETCH(QString, baud);
        QFETCH(bool, applicable);
        PseudoTerminal port5;
        QTemporaryDir dir;
        writeIni(dir, file);
        FrmMain w(portTable({{5, port5.slavePath()}}), dir.path());
        WindowDriver d {w};
        d.open();
        QCOMPARE(d.combo()->currentIndex() >= 0 ? d.combo()->currentText() : QString(), selected);
        QCOMPARE(d.field("Text6")->text(), baud);
        QCOMPARE(d.enabled("Command3"), applicable);
        if (applicable) {
            QCOMPARE(w.canLink()->COM_Port(), u"5"_s);
            QCOMPARE(w.canLink()->COM_Speed(), baud);
        }
    }

    void baudFieldReadsTheLocalesNumbers_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("speed"); // 0: refused
        const QLocale german(QLocale::German, QLocale::Germany);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("de grouped") << german << u"9.600"_s << 9600;
        QTest::newRow("de decimal comma") << german << u"9,600"_s << 0;
        QTest::newRow("de plain") << german << u"115200"_s << 115200;
        QTest::newRow("de wrong grouping") << german << u"96.00"_s << 0;
        QTest::newRow("en grouped") << english << u"9,600"_s << 9600;
        QTest::newRow("en decimal point") << english << u"9.600"_s << 0;
        QTest::newRow("zero") << german << u"0"_s << 0;
        QTest::newRow("negative") << german << u"-9600"_s << 0;
        QTest::newRow("letters") << german << u"96x"_s << 0;
        QTest::newRow("beyond 32 bits") << german << u"4294967296"_s << 0;
    }
    void baudFieldReadsTheLocalesNumbers()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, typed);
        QFETCH(int, speed);
        const PinnedLocale pinned {locale};
        PseudoTerminal port3;
        QTemporaryDir dir;
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};
        d.open();
        d.choosePort(u"COM3"_s);
        d.typeBaud(u"1200"_s);
        QVERIFY(d.field("Text6")->toolTip().isEmpty());
        d.typeBaud(typed);
        QCOMPARE(d.enabled("Command3"), speed > 0);
        // A refused text says why.
        QCOMPARE(d.field("Text6")->toolTip().isEmpty(), speed > 0);
        if (speed > 0) {
            QCOMPARE(w.canLink()->COM_Speed(), QString::number(speed));
            d.click("Command3");
            QCOMPARE(readIni(dir), settingsText(3, speed));
        }
        d.typeBaud(QString());
        QVERIFY(d.field("Text6")->toolTip().isEmpty());
        QVERIFY(!d.field("Text6")->placeholderText().isEmpty());
    }

    void openCloseOpenKeepsTheLinkObject()
    {
        PseudoTerminal port2;
        QTemporaryDir dir;
        writeIni(dir, settingsText(2, 9600));
        FrmMain w(portTable({{2, port2.slavePath()}}), dir.path());
        WindowDriver d {w};
        d.open();
        CAN *first = w.canLink();
        writeIni(dir, settingsText(2, 1200));
        d.click("Command2");
        QVERIFY(d.enabled("Command1"));
        QVERIFY(!d.enabled("Command2"));
        // The frame port is free again after "Schließen".
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 15731));
        probe.close();
        d.click("Command1");
        QCOMPARE(w.canLink(), first);
        QCOMPARE(d.field("Text6")->text(), u"9600"_s); // not read again
        QCOMPARE(d.label("LFileProgress"), u"UDP-Betrieb über Port 15730"_s);
    }

    void connectOnAHeldPortFails()
    {
        PseudoTerminal port3;
        QTemporaryDir dir;
        writeIni(dir, settingsText(3, 9600));
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};
        d.open();
        d.click("Command3");
        QSerialPort holder;
        holder.setPortName(port3.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        d.click("Command4");
        QCOMPARE(d.label("Label5"),
                 u"Fehler beim Öffnen von COM3: wird von Prozess %1 benutzt"_s.arg(
                     QCoreApplication::applicationPid()));
        QVERIFY(!w.canLink()->Verbindungs_Status());
        QVERIFY(d.enabled("Command4"));
        QVERIFY(d.enabled("Combo1"));
        holder.close();
        // An empty port text opens nothing and names nothing after "COM".
        w.canLink()->setCOM_Port(QString());
        d.click("Command4");
        QCOMPARE(d.label("Label5"), u"Fehler beim Öffnen von COM"_s);
    }

    void busyPortsAreReportedAndStayVisible()
    {
        QTcpServer httpHolder;
        QVERIFY(httpHolder.listen(QHostAddress::AnyIPv4, 0));
        QUdpSocket frameHolder;
        QVERIFY(frameHolder.bind(QHostAddress::LocalHost, 15731));
        QTemporaryDir dir;
        FrmMain w(portTable({}), dir.path());
        WindowDriver d {w};
        d.open(httpHolder.serverPort());
        const QString status = d.label("LFileProgress");
        QVERIFY2(status.contains(u"HTTP-Port "_s + QString::number(httpHolder.serverPort())
                                 + u" kann nicht geöffnet werden"_s),
                 qPrintable(status));
        QVERIFY2(status.contains(u"UDP-Port 15731 kann nicht geöffnet werden: Port wird bereits verwendet"_s),
                 qPrintable(status));
        // Without the UDP endpoint the serial side is not set up.
        QVERIFY(!d.canFrameShown());
        QVERIFY(!w.canLink());
        // Once the ports are free, closing and opening again sets everything up.
        frameHolder.close();
        httpHolder.close();
        d.click("Command2");
        d.click("Command1");
        QCOMPARE(d.label("LFileProgress"), u"UDP-Betrieb über Port 15730"_s);
        QVERIFY(d.canFrameShown());
    }

    void fieldsAreNamedByTheirCaptionsAndTabInOrder()
    {
        PseudoTerminal port3;
        QTemporaryDir dir;
        writeIni(dir, settingsText(3, 9600));
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};
        const std::pair<const char *, const char *> captions[]
            = {{"Label1", "Text1"}, {"Label2", "Text5"}, {"Label3", "Combo1"}, {"Label4", "Text6"}};
        for (const auto &[label, field] : captions)
            QCOMPARE(d.control<QLabel>(label)->buddy(), d.control<QWidget>(field));

        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        d.open();
        // Disabled controls are skipped: "Öffnen", "Verbinden" and "Trennen" are off now.
        const char *expected[] = {"Command2", "Combo1", "Text6", "Command3", "Command6", "Command2"};
        d.button("Command2")->setFocus();
        for (const char *name : expected) {
            QCOMPARE(QApplication::focusWidget(), d.control<QWidget>(name));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
    }

    void aWholeSessionByKeyboardAlone()
    {
        const PinnedLocale german;
        TrackBox box;
        QTemporaryDir dir;
        FrmMain w(portTable({{3, box.portPath()}}), dir.path());
        WindowDriver d {w};
        d.field("Text2")->setText(QString::number(freeTcpPort())); // not 80, which needs root
        QWidget *const ende = d.button("Command6");
        bool endeHadFocus = false;
        connect(qApp, &QApplication::focusChanged, &w,
                [&](QWidget *, QWidget *now) { endeHadFocus = endeHadFocus || now == ende; });
        // Chosen before the window is shown, whether or not the desktop activates it.
        QCOMPARE(w.focusWidget(), d.button("Command1"));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const auto focusIsOn = [&d](const char *name) { return d.focused() == d.control<QWidget>(name); };

        QVERIFY(focusIsOn("Command1"));
        d.press(Qt::Key_Space); // Öffnen
        QVERIFY(d.canFrameShown());
        QVERIFY(focusIsOn("Command2"));
        d.press(Qt::Key_Tab);
        QVERIFY(focusIsOn("Combo1"));
        d.press(Qt::Key_Down);
        QCOMPARE(d.combo()->currentText(), u"COM3"_s);
        d.press(Qt::Key_Tab);
        QVERIFY(focusIsOn("Text6"));
        d.press(Qt::Key_A, Qt::ControlModifier);
        d.type(u"115.200"_s); // as a German writes it
        d.press(Qt::Key_Tab);
        QVERIFY(focusIsOn("Command3"));
        d.press(Qt::Key_Return); // Einstellungen übernehmen
        QCOMPARE(readIni(dir), settingsText(3, 115200));
        QVERIFY(focusIsOn("Command4"));
        d.press(Qt::Key_Space); // Verbinden, and the ping is answered
        QCOMPARE(d.label("Label5"), u"Gleisbox-ID: 47431234"_s);
        QVERIFY(focusIsOn("Command5"));
        d.press(Qt::Key_Enter); // Trennen
        QCOMPARE(d.label("Label5"), u"Verbindung getrennt"_s);
        QVERIFY(focusIsOn("Combo1"));
        d.press(Qt::Key_Backtab);
        QVERIFY(focusIsOn("Command2"));
        d.press(Qt::Key_Space); // Schließen
        QVERIFY(d.enabled("Command1"));
        QVERIFY(focusIsOn("Command1"));

        QVERIFY(w.isVisible());
        QVERIFY2(!endeHadFocus, "focus fell on \"Ende\"");
        // An adapter unplugged during the ping ends the link as "Trennen" does; the settings are next.
        d.press(Qt::Key_Space); // Öffnen
        for (int tabs = 0; tabs < 3; ++tabs)
            d.press(Qt::Key_Tab);
        QVERIFY(focusIsOn("Command3"));
        d.press(Qt::Key_Space);
        box.setSilent(true);
        QTimer::singleShot(300, &box, [&box] { box.unplug(); });
        d.press(Qt::Key_Space); // Verbinden
        QCOMPARE(d.label("Label5"), u"Verbindung getrennt"_s);
        QVERIFY(!d.enabled("Command4") && !d.enabled("Command5") && d.enabled("Combo1"));
        QVERIFY(focusIsOn("Command3"));
        QVERIFY(!endeHadFocus);
    }

    void aBurstOfStatusTextsIsDrawnAFewTimesEndingOnTheLast()
    {
        QTemporaryDir dir;
        FrmMain w(portTable({}), dir.path());
        WindowDriver d {w};
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        d.open(); // shows the serial-link group with Label5
        QSignalSpy told(&w, &FrmMain::statusTextChanged);
        constexpr int texts = 1000;
        constexpr int intervalMs = int(StatusLine::RedrawInterval.count());
        for (const char *name : {"LFileProgress", "Label5"}) {
            QLabel *line = d.control<QLabel>(name);
            PaintWatch watch(line);
            // A quiet spell: nothing drawn for a few intervals.
            for (int tries = 0; tries < 50 && (tries == 0 || watch.paints > 0); ++tries) {
                watch.paints = 0;
                QTest::qWait(3 * intervalMs);
            }
            QElapsedTimer burst;
            burst.start();
            for (int i = 0; i < texts; ++i) {
                const QString text = u"Text "_s + QString::number(i);
                if (line->objectName() == u"Label5"_s)
                    w.showLinkStatus(text);
                else
                    w.showNetworkStatus(text);
                // The text itself is never held back, nor what assistive technology reads.
                QCOMPARE(line->text(), text);
                QCOMPARE(accessibleName(line), text);
                QCoreApplication::processEvents(); // as the handlers let events run
                if (i == 0)
                    QVERIFY2(watch.paints == 1 && watch.drawn == text,
                             "the first text after a quiet spell is drawn at once");
            }
            const qint64 tookMs = burst.elapsed();
            QVERIFY2(watch.paints <= tookMs / intervalMs + 2,
                     qPrintable(u"%1 paints in %2 ms"_s.arg(watch.paints).arg(tookMs)));
            QTRY_COMPARE(watch.drawn, u"Text "_s + QString::number(texts - 1));
        }
        QCOMPARE(told.size(), 2 * texts);
        QCOMPARE(told.first(), (QVariantList {u"LFileProgress"_s, u"Text 0"_s}));
        QCOMPARE(told.last(), (QVariantList {u"Label5"_s, u"Text 999"_s}));
    }

    void statusLinesCanBeReadWhole()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"RIri.ini"_s)); // a folder where the settings file belongs
        PseudoTerminal port3;
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        d.open();
        d.choosePort(u"COM3"_s);
        d.typeBaud(u"115200"_s);
        d.click("Command3");
        const QString writeFailure = d.label("Label5");
        QVERIFY2(writeFailure.startsWith(u"Einstellungen konnten nicht gespeichert werden"_s),
                 qPrintable(writeFailure));

        const QString inUse = u" kann nicht geöffnet werden: Port wird bereits verwendet"_s;
        const QString allPortsInUse = u"UDP-Port 15731"_s + inUse + u"; UDP-Sendeport 15730"_s + inUse
            + u"; TCP-Port 15731"_s + inUse + u"; HTTP-Port 65535"_s + inUse;
        QString path = u"/"_s;
        while (path.size() < 200)
            path += u"Gleisplan Anlage Nord/"_s;
        path.truncate(196);
        path += u".zip"_s;
        const QString progress
            = u"Transfering: "_s + path + u" - 2147485696 of 3221225472 bytes sent (66,67% Done)."_s;

        const std::pair<const char *, QString> longest[]
            = {{"LFileProgress", allPortsInUse}, {"LFileProgress", progress}, {"Label5", writeFailure}};
        for (const auto &[name, text] : longest) {
            auto *line = d.control<StatusLine>(name);
            if (line->objectName() == u"Label5"_s)
                w.showLinkStatus(text);
            else
                w.showNetworkStatus(text);
            QCOMPARE(accessibleName(line), text);
            // What is drawn fits the line as it is, in its font.
            const QString shown = line->shownText();
            const QRect room = line->contentsRect();
            const QRect needed
                = line->fontMetrics().boundingRect(room, Qt::AlignLeft | Qt::TextWordWrap, shown);
            QVERIFY2(room.contains(needed), qPrintable(shown));
            QLabel drawnAlike(shown);
            drawnAlike.setWordWrap(true);
            drawnAlike.setAlignment(line->alignment());
            drawnAlike.setAutoFillBackground(true);
            drawnAlike.setPalette(line->palette());
            drawnAlike.setBackgroundRole(line->backgroundRole());
            drawnAlike.setForegroundRole(line->foregroundRole());
            drawnAlike.setFont(line->font());
            drawnAlike.resize(line->size());
            QCOMPARE(line->grab().toImage(), drawnAlike.grab().toImage());
            if (shown == text)
                continue;
            // Shortened on screen: the start and the end stay, the whole is one hover away.
            QVERIFY(shown.startsWith(text.first(10)) && shown.endsWith(text.last(10)));
            QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), line->mapToGlobal(QPoint(5, 5)));
            QCoreApplication::sendEvent(line, &hover);
            QCOMPARE(QToolTip::text(), text);
        }
        // A short text is drawn whole.
        w.showNetworkStatus(u"UDP-Betrieb über Port 15730"_s);
        QCOMPARE(d.control<StatusLine>("LFileProgress")->shownText(), u"UDP-Betrieb über Port 15730"_s);
    }

    void layoutFitsTheFont_data()
    {
        QTest::addColumn<qreal>("pointSize"); // 0: the default font
        QTest::newRow("default font") << 0.0;
        QTest::newRow("13 pt") << 13.0;
        QTest::newRow("20 pt") << 20.0;
    }
    void layoutFitsTheFont()
    {
        QFETCH(qreal, pointSize);
        const QFont before = QApplication::font();
        auto restoreFont = qScopeGuard([&before] { QApplication::setFont(before); });
        if (pointSize > 0) {
            QFont larger = before;
            larger.setPointSizeF(pointSize);
            QApplication::setFont(larger);
        }
        PseudoTerminal port3;
        QTemporaryDir dir;
        FrmMain w(portTable({{3, port3.slavePath()}}), dir.path());
        WindowDriver d {w};
        d.control<QGroupBox>("CANFrame")->show(); // as "Öffnen" does
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        const char *const captions[]
            = {"Label1",   "Label6",   "Label2",   "Label3",   "Label4",   "Command1",
               "Command2", "Command3", "Command4", "Command5", "Command6", "Combo1"};
        for (const char *name : captions) {
            auto *control = d.control<QWidget>(name);
            QVERIFY2(control->width() >= control->sizeHint().width()
                         && control->height() >= control->sizeHint().height(),
                     name);
        }
        for (const char *name : {"Text1", "Text2", "Text5", "Text6"}) {
            QLineEdit *field = d.field(name);
            const int frame = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, field);
            QVERIFY2(field->height() >= field->fontMetrics().height() + 2 * frame, name);
        }
        QLineEdit *address = d.field("Text1");
        QVERIFY(address->width() >= address->fontMetrics().horizontalAdvance(address->text()) + 8);
        for (const char *name : {"LFileProgress", "Label5"}) {
            auto *line = d.control<QLabel>(name);
            QVERIFY2(line->height() >= 2 * line->fontMetrics().lineSpacing(), name);
        }
        for (const char *name : {"ServerFrame", "CANFrame"}) {
            auto *frame = d.control<QGroupBox>(name);
            QVERIFY2(frame->width() >= frame->minimumSizeHint().width(), name);
            for (QWidget *inside : frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                QVERIFY2(inside->y() >= frame->contentsMargins().top(), name);
        }
        // Nothing overlaps, and everything lies inside what holds it.
        for (QWidget *parent : {static_cast<QWidget *>(&w), d.control<QWidget>("ServerFrame"),
                                d.control<QWidget>("CANFrame")}) {
            const QList<QWidget *> siblings = parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
            for (QWidget *a : siblings) {
                QVERIFY2(parent->rect().contains(a->geometry()), qPrintable(a->objectName()));
                for (QWidget *b : siblings) {
                    QVERIFY2(a == b || !a->geometry().intersects(b->geometry()),
                             qPrintable(a->objectName() + u" / "_s + b->objectName()));
                }
            }
        }
        QCOMPARE(w.minimumSize(), w.maximumSize());
        if (pointSize > 0) {
            QVERIFY(w.width() > 234 && w.height() > 414);
            return;
        }
        // At the default font the window is laid out exactly as designed.
        QCOMPARE(w.size(), QSize(234, 414));
        const std::pair<const char *, QRect> designed[]
            = {{"ServerFrame", {8, 6, 217, 153}}, {"Label1", {8, 24, 20, 21}},
               {"Text1", {30, 24, 112, 21}},      {"Label6", {144, 24, 8, 21}},
               {"Text2", {154, 24, 55, 21}},      {"Label2", {8, 52, 40, 21}},
               {"Text5", {50, 52, 159, 21}},      {"Command1", {8, 82, 89, 25}},
               {"Command2", {120, 82, 89, 25}},   {"LFileProgress", {8, 112, 201, 34}},
               {"CANFrame", {8, 166, 217, 185}},  {"Label3", {8, 24, 64, 22}},
               {"Combo1", {80, 24, 129, 22}},     {"Label4", {8, 54, 64, 21}},
               {"Text6", {80, 54, 129, 21}},      {"Command3", {8, 84, 201, 25}},
               {"Command4", {8, 116, 89, 25}},    {"Command5", {120, 116, 89, 25}},
               {"Label5", {8, 146, 201, 32}},     {"Command6", {72, 370, 89, 25}}};
        for (const auto &[name, rect] : designed)
            QCOMPARE(d.control<QWidget>(name)->geometry(), rect);

        // A font chosen while the program runs lays the window out again.
        QFont larger = w.font();
        larger.setPointSizeF(larger.pointSizeF() * 1.5);
        w.setFont(larger);
        QTRY_VERIFY(w.width() > 234 && w.height() > 414);
        QVERIFY(d.button("Command3")->width() >= d.button("Command3")->sizeHint().width());
    }

    void endClosesTheEndpoints()
    {
        QTemporaryDir dir;
        FrmMain w(portTable({}), dir.path());
        WindowDriver d {w};
        w.show();
        d.open();
        d.click("Command6");
        QVERIFY(!w.isVisible());
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 15731));
        QTcpServer tcpProbe;
        QVERIFY(tcpProbe.listen(QHostAddress::AnyIPv4, 15731));
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
