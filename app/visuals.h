// The window's look: palette, fonts, the rainbow word and small view factories. Each factory
// returns a new object and keeps nothing.
#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

class QLabel;
class QTextCursor;
class QWidget;

namespace tg {

extern const QColor C_ink;
extern const QColor C_sub;
extern const QColor C_card;
extern const QColor C_line;
extern const QColor C_purple;
extern const QColor C_blue;
extern const QColor C_violetBG;

// The desktop's standard accent colours in their light-theme values.
extern const QColor SYSTEM_GREEN;
extern const QColor SYSTEM_ORANGE;
extern const QColor SYSTEM_RED;
extern const QColor SYSTEM_TEAL;
extern const QColor SYSTEM_BLUE;

// Violet, blue, sky blue, green, orange, red, pink.
extern const std::array<QColor, 7> RAINBOW;

// Sizes are in device-independent pixels, one per point of the layout.
QFont roundedFont(double size, QFont::Weight weight);
QFont monoFont(double size, QFont::Weight weight);

// A colour along RAINBOW: 0 is the first, 1 the last; out-of-range and NaN positions are clamped.
QColor rainbowColor(double t);

// One run of an attributed text.
struct TextRun {
    QString text;
    QColor color;
    QFont font;
};
using StyledText = QList<TextRun>;

// Each user-perceived character of text in its own colour along RAINBOW.
StyledText rainbowAttr(const QString& text, const QFont& font);
// Rich text for a label; blanks are kept as written.
QString styledHtml(const StyledText& text);
void insertStyled(QTextCursor& cursor, const StyledText& text, const QString& toolTip = {});

// The layout is given with the origin at the parent's bottom-left corner; Qt's is top-left.
QRect flipped(int parentHeight, int x, int y, int width, int height);

// A plain, non-selectable text label (word-wrapped, transparent).
QLabel* label(QWidget* parent, const QString& text, const QRect& frame, double size,
              QFont::Weight weight = QFont::Normal, Qt::Alignment align = Qt::AlignLeft,
              const QColor& color = C_ink, bool rounded = true);
// A rounded C_card panel.
QWidget* cardView(QWidget* parent, const QRect& frame);
// A rounded square of colour bg with the named symbol in tint, or without it if unknown.
QWidget* iconTile(QWidget* parent, const QRect& frame, const QString& symbol, const QColor& tint,
                  const QColor& bg);
// The named symbol filled with a bottom-to-top gradient of colors; nothing if it is unknown.
std::optional<QPixmap> gradientSymbol(const QString& name, double pointSize,
                                      const QList<QColor>& colors);

// Where optional images live: ../share/tintguard from the program's folder.
QStringList assetDirs();
std::optional<QPixmap> loadAsset(const QString& name, const QString& ext,
                                 const QStringList& dirs = assetDirs());

} // namespace tg
