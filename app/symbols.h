// Our own small vector symbols, drawn in the spirit of the desktop's symbol sets.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QString>

#include <optional>

namespace tg {

// The outline of a named symbol in a 100 x 100 box (y down), ready to fill; nothing if unknown.
// Known: "square.and.arrow.up", "bolt.fill", "tag.fill", "globe".
std::optional<QPainterPath> symbolPath(const QString& name);

// The symbol filled in color on a transparent square image whose side is the point size plus
// the symbol's usual head room; rendered for the screen's pixel ratio.
std::optional<QImage> renderSymbol(const QString& name, double pointSize, const QColor& color);

} // namespace tg
