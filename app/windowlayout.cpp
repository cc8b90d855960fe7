// The window's geometry: one stretch in each direction for every control, so nothing that did
// not overlap at the designed size can overlap at a larger one.
#include "windowlayout.h"

#include <QLineEdit>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kStatusLines = 2;
// Room beside the text inside a line edit's frame, as the edit itself keeps it.
constexpr int kFieldTextMargin = 2;
// The designed top of the first row inside a frame; the title must fit above it.
constexpr int kFirstRowTop = 24;

int scaled(int designed, qreal stretch)
{
    return int(std::lround(designed * stretch));
}

} // namespace

void WindowLayout::place(QWidget *control, QRect designed, Need need)
{
    m_placements.append({control, designed, need});
}

QSize WindowLayout::neededSize(const Placement &placement)
{
    QWidget *const control = placement.control;
    const QFontMetrics metrics = control->fontMetrics();
    const int frame = control->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    switch (placement.need) {
    case Need::Caption:
    case Need::Choice: return control->sizeHint();
    case Need::Field: return {0, metrics.height() + 2 * frame};
    case Need::FieldWithValue: {
        const QString value = static_cast<QLineEdit *>(control)->text();
        return {metrics.horizontalAdvance(value) + 2 * (frame + kFieldTextMargin),
                metrics.height() + 2 * frame};
    }
    case Need::StatusLine: return {0, kStatusLines * metrics.lineSpacing()};
    case Need::Frame: {
        // The title's height against the designed room above the first row.
        const int title = control->contentsMargins().top();
        const int height = int(std::ceil(qreal(title) * placement.designed.height() / kFirstRowTop));
        return {control->minimumSizeHint().width(), height};
    }
    }
    return {};
}

QSizeF WindowLayout::stretch() const
{
    qreal wider = 1;
    qreal taller = 1;
    for (const Placement &placement : m_placements) {
        const QSize needed = neededSize(placement);
        wider = std::max(wider, qreal(needed.width()) / placement.designed.width());
        taller = std::max(taller, qreal(needed.height()) / placement.designed.height());
    }
    return {wider, taller};
}

void WindowLayout::apply(QWidget *window, QSize designedClient) const
{
    const QSizeF by = stretch();
    for (const Placement &placement : m_placements) {
        const QRect &d = placement.designed;
        // Both edges are stretched and rounded alike, so neighbours stay apart.
        const QPoint topLeft(scaled(d.left(), by.width()), scaled(d.top(), by.height()));
        const QPoint end(scaled(d.left() + d.width(), by.width()), scaled(d.top() + d.height(), by.height()));
        // Fixed, so that a control whose text changes asks nobody to lay out again: a status line
        // that changes with every datagram would post a layout request each time.
        placement.control->move(topLeft);
        placement.control->setFixedSize(QRect(topLeft, end - QPoint(1, 1)).size());
    }
    window->setFixedSize(scaled(designedClient.width(), by.width()),
                         scaled(designedClient.height(), by.height()));
}
