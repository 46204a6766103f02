#include "app/rounded_panel.h"

#include <QPainter>
#include <QPainterPath>

namespace tg {

RoundedPanel::RoundedPanel(const QColor& color, double radius, QWidget* parent)
    : QWidget(parent), color_(color), radius_(radius) {}

void RoundedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (radius_ <= 0) {
        painter.fillRect(rect(), color_);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), radius_, radius_);
    painter.fillPath(shape, color_);
}

} // namespace tg
