// A status line of the window: every text is taken at once, the pixels follow at a bounded rate.
#pragma once

#include <QLabel>
#include <QTimer>

#include <chrono>

class StatusLine : public QLabel
{
    Q_OBJECT
public:
    // Four redraws a second are as fast as anybody reads a changing line, and each redraw of a
    // shown window costs a display round trip; a burst of texts is drawn at most once per interval.
    static constexpr std::chrono::milliseconds RedrawInterval {250};

    StatusLine(const QString &text, QWidget *parent);

    // Replaces the whole text. text() and assistive technology have it at once;
    // the line on screen shows it at the latest one interval later.
    void showText(const QString &text);

    // What the line draws: the whole text when it fits, else the text with its
    // middle left out. The whole text is then its tooltip.
    QString shownText() const;

signals:
    void textShown(const QString &text);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void endRedrawPause();
    bool fits(const QString &text) const;
    QString withMiddleLeftOut(const QString &text, qsizetype kept) const;

    // Runs from each paint; while it runs, new texts are held back from the screen.
    QTimer m_redrawPause;
};
