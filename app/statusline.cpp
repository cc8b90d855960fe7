// Status line: immediate text, redraws paced so a stream of texts does not stall the event thread.
#include "statusline.h"

StatusLine::StatusLine(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAutoFillBackground(true);
    m_redrawPause.setSingleShot(true);
    m_redrawPause.setInterval(RedrawInterval);
    connect(&m_redrawPause, &QTimer::timeout, this, &StatusLine::endRedrawPause);
}

void StatusLine::showText(const QString &text)
{
    // Each redraw of a shown window costs a round trip to the display server;
    // with updates off, setText changes the text (and tells assistive
    // technology) without asking for one.
    if (m_redrawPause.isActive() && updatesEnabled())
        setUpdatesEnabled(false);
    setText(text);
    emit textShown(text);
}

void StatusLine::endRedrawPause()
{
    // Switching updates back on redraws the line once, with the latest text.
    if (!updatesEnabled())
        setUpdatesEnabled(true);
}

void StatusLine::paintEvent(QPaintEvent *event)
{
    if (!m_redrawPause.isActive())
        m_redrawPause.start();
    QLabel::paintEvent(event);
}
