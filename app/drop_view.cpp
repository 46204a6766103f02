#include "app/drop_view.h"

#include "app/visuals.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace tg {

namespace {

constexpr double RADIUS = 18;

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(float(alpha));
    return color;
}

} // namespace

const QColor DropView::REST = QColor::fromRgbF(0.985f, 0.985f, 0.995f);
const QColor DropView::HIGHLIGHT = withAlpha(C_violetBG, 0.5);

DropView::DropView(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setCursor(Qt::PointingHandCursor);
}

QList<QUrl> DropView::urls(const QMimeData* data) {
    QList<QUrl> files;
    if (!data || !data->hasUrls()) return files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files << url;
    return files;
}

void DropView::setBackground(const QColor& color) {
    background_ = color;
    update();
}

void DropView::dragEnterEvent(QDragEnterEvent* event) {
    // Lit for every drag that enters, even one that turns out to carry no files. The enter is
    // always taken, so the leave that puts the colour back always reaches this view; a drag
    // without files is refused by its drop action and by every move.
    setBackground(HIGHLIGHT);
    event->setDropAction(urls(event->mimeData()).isEmpty() ? Qt::IgnoreAction : Qt::CopyAction);
    event->accept();
}

void DropView::dragMoveEvent(QDragMoveEvent* event) {
    if (urls(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropView::dragLeaveEvent(QDragLeaveEvent*) {
    setBackground(REST);
}

void DropView::dropEvent(QDropEvent* event) {
    setBackground(REST);
    const QList<QUrl> files = urls(event->mimeData());
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit filesDropped(files);
}

void DropView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    emit clicked();
}

void DropView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), RADIUS, RADIUS);
    painter.fillPath(shape, background_);

    // The dashed border, 7 on and 5 off, coloured by a left-to-right gradient.
    QLinearGradient gradient(0, height() / 2.0, width(), height() / 2.0);
    const QColor stops[] = {C_purple, C_blue, SYSTEM_TEAL, SYSTEM_GREEN, SYSTEM_ORANGE};
    for (int i = 0; i < 5; ++i)
        gradient.setColorAt(i / 4.0, stops[i]);
    QPen pen(QBrush(gradient), 2);
    pen.setCapStyle(Qt::FlatCap);
    pen.setDashPattern({7.0 / 2, 5.0 / 2}); // in pen widths
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), RADIUS, RADIUS);
}

} // namespace tg
