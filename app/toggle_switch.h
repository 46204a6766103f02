// A two-state switch: a rounded track with a round knob, on at the right.
#pragma once

#include <QAbstractButton>

namespace tg {

class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {38, 22}; }

    // Track colours, on and off.
    static const QColor ON_COLOR;
    static const QColor OFF_COLOR;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tg
