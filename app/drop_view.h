// The drop zone: accepts files dragged from the file manager and acts as a button.
#pragma once

#include <QColor>
#include <QList>
#include <QUrl>
#include <QWidget>

class QMimeData;

namespace tg {

class DropView : public QWidget {
    Q_OBJECT
public:
    explicit DropView(QWidget* parent = nullptr);

    static const QColor REST;
    static const QColor HIGHLIGHT;
    QColor background() const { return background_; }

signals:
    // The file URLs of an accepted drop, in the drag's order.
    void filesDropped(const QList<QUrl>& urls);
    // Every left-button press.
    void clicked();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    static QList<QUrl> urls(const QMimeData* data);
    void setBackground(const QColor& color);

    QColor background_ = REST;
};

} // namespace tg
