// Drives the real window in tests: finds its controls by name and clicks them.
#pragma once

#include "frmmain.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>

// A port table made of the given device files; every other number has no device.
inline SerialPort::PortTable portTable(QMap<int, QString> devices)
{
    return [devices](int n) { return devices.value(n); };
}

inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

struct WindowDriver
{
    FrmMain &w;

    template<typename T> T *control(const char *name) const
    {
        T *found = w.findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no control %s", name);
        return found;
    }
    QPushButton *button(const char *name) const { return control<QPushButton>(name); }
    QLineEdit *field(const char *name) const { return control<QLineEdit>(name); }
    QComboBox *combo() const { return control<QComboBox>("Combo1"); }
    QString label(const char *name) const { return control<QLabel>(name)->text(); }
    bool enabled(const char *name) const { return control<QWidget>(name)->isEnabled(); }
    bool canFrameShown() const { return !control<QGroupBox>("CANFrame")->isHidden(); }

    void click(const char *name) const
    {
        QPushButton *b = button(name);
        QVERIFY2(b->isEnabled(), name);
        b->click();
    }
    // "Öffnen" with the HTTP server on a free port instead of 80.
    void open(quint16 httpPort = freeTcpPort()) const
    {
        field("Text2")->setText(QString::number(httpPort));
        click("Command1");
    }
    void typeBaud(const QString &text) const
    {
        QLineEdit *baud = field("Text6");
        baud->setFocus();
        baud->selectAll();
        QTest::keyClick(baud, Qt::Key_Backspace);
        QTest::keyClicks(baud, text);
    }
    // Keys go where a keyboard's would: to the focused control, else to the window.
    QWidget *focused() const { return QApplication::focusWidget(); }
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const
    {
        QTest::keyClick(focused() ? focused() : &w, key, modifiers);
    }
    void type(const QString &text) const { QTest::keyClicks(focused() ? focused() : &w, text); }
    void choosePort(const QString &entry) const { combo()->setCurrentIndex(combo()->findText(entry)); }
    QStringList ports() const
    {
        QStringList entries;
        for (int i = 0; i < combo()->count(); ++i)
            entries << combo()->itemText(i);
        return entries;
    }
};
