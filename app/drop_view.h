// The drop zone: accepts files dragged from the file manager and acts as a button.
#pragma once

#include <QColor>
#include <QList>
#include <QUrl>
#include <QWidget>

#include <functional>

class QMimeData;

namespace tg {

class DropView : public QWidget {
    Q_OBJECT
public:
    explicit DropView(QWidget* parent = nullptr);

    // Called with the file URLs of an accepted drop, in the drag's order.
    std::function<void(const QList<QUrl>&)> onDrop;
    // Called on every left-button press.
    std::function<void()> onClick;

    static const QColor REST;
    static const QColor HIGHLIGHT;
    QColor background() const { return background_; }

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
