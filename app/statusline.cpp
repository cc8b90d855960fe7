// Status line: immediate text, redraws paced so a stream of texts does not stall the event thread,
// and a text too long for the line shortened on screen but whole for the reader.
#include "statusline.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace {

constexpr QChar kEllipsis(0x2026);

} // namespace

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

bool StatusLine::fits(const QString &text) const
{
    const QRect room = contentsRect();
    const QRect needed = fontMetrics().boundingRect(room, int(alignment()) | Qt::TextWordWrap, text);
    return needed.width() <= room.width() && needed.height() <= room.height();
}

QString StatusLine::withMiddleLeftOut(const QString &text, qsizetype kept) const
{
    qsizetype head = kept - kept / 2;
    qsizetype tail = kept / 2;
    // Never half a character outside the Basic Multilingual Plane.
    if (head > 0 && text[head - 1].isHighSurrogate())
        --head;
    if (tail > 0 && text[text.size() - tail].isLowSurrogate())
        --tail;
    return text.first(head) + kEllipsis + text.last(tail);
}

QString StatusLine::shownText() const
{
    const QString whole = text();
    if (fits(whole))
        return whole;
    // The start says what happened and the end the latest detail (a reason, a
    // percentage); the longest text with both that fits is shown.
    qsizetype low = 0;
    qsizetype high = whole.size() - 1;
    QString best = withMiddleLeftOut(whole, 0);
    while (low <= high) {
        const qsizetype kept = (low + high) / 2;
        const QString candidate = withMiddleLeftOut(whole, kept);
        if (fits(candidate)) {
            best = candidate;
            low = kept + 1;
        } else {
            high = kept - 1;
        }
    }
    return best;
}

bool StatusLine::event(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QLabel::event(event);
    // Worked out when asked: a stream of texts costs nothing here.
    const QString whole = text();
    if (shownText() != whole)
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), whole, this, rect());
    else
        QToolTip::hideText();
    return true;
}

void StatusLine::paintEvent(QPaintEvent *event)
{
    if (!m_redrawPause.isActive())
        m_redrawPause.start();
    const QString shown = shownText();
    if (shown == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()) | Qt::TextWordWrap, palette(),
                          isEnabled(), shown, foregroundRole());
}
