#include "app/toggle_switch.h"

#include <QPainter>
#include <QPainterPath>

namespace tg {

const QColor ToggleSwitch::ON_COLOR(0, 122, 255);
const QColor ToggleSwitch::OFF_COLOR(226, 226, 230);

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = track.height() / 2;
    QColor fill = isChecked() ? ON_COLOR : OFF_COLOR;
    if (!isEnabled()) fill.setAlphaF(0.5);
    painter.setPen(isChecked() ? Qt::NoPen : QPen(QColor(0, 0, 0, 24), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);

    const double inset = 1.5;
    const double knob = track.height() - 2 * inset;
    const double x = isChecked() ? track.right() - inset - knob : track.left() + inset;
    const QRectF knobRect(x, track.top() + inset, knob, knob);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 30));
    painter.drawEllipse(knobRect.translated(0, 0.75));
    painter.setBrush(Qt::white);
    painter.drawEllipse(knobRect);
    if (hasFocus()) { // a keyboard-focus ring just inside the track
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(0, 122, 255, 140), 1.5));
        painter.drawRoundedRect(track.adjusted(0.75, 0.75, -0.75, -0.75), radius - 0.75,
                                radius - 0.75);
    }
}

} // namespace tg
