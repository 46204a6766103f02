// A plain filled rectangle with rounded corners: cards, tiles and separator lines.
#pragma once

#include <QColor>
#include <QWidget>

namespace tg {

class RoundedPanel : public QWidget {
    Q_OBJECT
public:
    RoundedPanel(const QColor& color, double radius, QWidget* parent = nullptr);

    QColor color() const { return color_; }
    double radius() const { return radius_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    double radius_;
};

} // namespace tg
