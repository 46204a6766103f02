#include "app/symbols.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPathStroker>

#include <cmath>

namespace tg {

namespace {

// Turns a line drawing into a fillable outline with round ends.
QPainterPath stroked(const QPainterPath& lines, double width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(lines);
}

QPainterPath shareSymbol() {
    QPainterPath lines;
    // An open box...
    lines.moveTo(34, 38);
    lines.lineTo(20, 38);
    lines.lineTo(20, 92);
    lines.lineTo(80, 92);
    lines.lineTo(80, 38);
    lines.lineTo(66, 38);
    // ...and an arrow leaving it.
    lines.moveTo(50, 64);
    lines.lineTo(50, 8);
    lines.moveTo(35, 23);
    lines.lineTo(50, 8);
    lines.lineTo(65, 23);
    return stroked(lines, 7);
}

QPainterPath boltSymbol() {
    QPainterPath bolt;
    bolt.moveTo(60, 4);
    bolt.lineTo(18, 58);
    bolt.lineTo(46, 58);
    bolt.lineTo(38, 96);
    bolt.lineTo(82, 40);
    bolt.lineTo(54, 40);
    bolt.closeSubpath();
    QPainterPath rounded = bolt.united(stroked(bolt, 6));
    return rounded.simplified();
}

QPainterPath tagSymbol() {
    QPainterPath tag;
    tag.moveTo(12, 14);
    tag.lineTo(50, 14);
    tag.lineTo(90, 54);
    tag.lineTo(54, 90);
    tag.lineTo(12, 48);
    tag.closeSubpath();
    QPainterPath body = tag.united(stroked(tag, 8));
    QPainterPath hole;
    hole.addEllipse(QPointF(32, 34), 7.5, 7.5);
    return body.subtracted(hole);
}

QPainterPath globeSymbol() {
    QPainterPath lines;
    lines.addEllipse(QPointF(50, 50), 42, 42);
    lines.addEllipse(QPointF(50, 50), 18, 42);
    lines.moveTo(8, 50);
    lines.lineTo(92, 50);
    const double half = std::sqrt(42.0 * 42.0 - 22.0 * 22.0);
    lines.moveTo(50 - half, 28);
    lines.lineTo(50 + half, 28);
    lines.moveTo(50 - half, 72);
    lines.lineTo(50 + half, 72);
    QPainterPath outline = stroked(lines, 6);
    outline.setFillRule(Qt::WindingFill);
    return outline;
}

} // namespace

std::optional<QPainterPath> symbolPath(const QString& name) {
    if (name == QLatin1String("square.and.arrow.up")) return shareSymbol();
    if (name == QLatin1String("bolt.fill")) return boltSymbol();
    if (name == QLatin1String("tag.fill")) return tagSymbol();
    if (name == QLatin1String("globe")) return globeSymbol();
    return std::nullopt;
}

std::optional<QImage> renderSymbol(const QString& name, double pointSize, const QColor& color) {
    const auto path = symbolPath(name);
    if (!path || !(pointSize > 0)) return std::nullopt;
    const double side = std::ceil(pointSize * 1.15);
    const double ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QImage image(QSize(int(side * ratio), int(side * ratio)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / 100.0, side / 100.0);
    painter.fillPath(*path, color);
    return image;
}

} // namespace tg
