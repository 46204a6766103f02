#include "app/visuals.h"

#include "app/rounded_panel.h"
#include "app/symbols.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextCursor>

#include <algorithm>
#include <cmath>

namespace tg {

const QColor C_ink(29, 29, 31);
const QColor C_sub(120, 120, 128);
const QColor C_card(244, 244, 247);
const QColor C_line(210, 210, 215);
const QColor C_purple(124, 77, 255);
const QColor C_blue(0, 113, 227);
const QColor C_violetBG(237, 233, 255);

const QColor SYSTEM_GREEN(40, 205, 65);
const QColor SYSTEM_ORANGE(255, 149, 0);
const QColor SYSTEM_RED(255, 59, 48);
const QColor SYSTEM_TEAL(89, 173, 196);
const QColor SYSTEM_BLUE(0, 122, 255);

const std::array<QColor, 7> RAINBOW = {
    QColor::fromRgbF(0.49f, 0.30f, 1.00f), QColor::fromRgbF(0.15f, 0.39f, 0.92f),
    QColor::fromRgbF(0.05f, 0.62f, 0.86f), QColor::fromRgbF(0.06f, 0.70f, 0.46f),
    QColor::fromRgbF(0.92f, 0.55f, 0.07f), QColor::fromRgbF(0.93f, 0.26f, 0.26f),
    QColor::fromRgbF(0.91f, 0.27f, 0.58f),
};

namespace {

// The rounded design of the system font, where the platform has one.
std::optional<QString> roundedFamily() {
#ifdef Q_OS_MACOS
    static const std::optional<QString> family = []() -> std::optional<QString> {
        for (const char* name : {"SF Pro Rounded", ".AppleSystemUIFontRounded"})
            if (QFontDatabase::hasFamily(QString::fromLatin1(name)))
                return QString::fromLatin1(name);
        return std::nullopt;
    }();
    return family;
#else
    return std::nullopt;
#endif
}

QFont sized(QFont font, double size, QFont::Weight weight) {
    font.setPixelSize(std::max(1, int(std::lround(size))));
    font.setWeight(weight);
    return font;
}

} // namespace

QFont roundedFont(double size, QFont::Weight weight) {
    QFont font = sized(QFontDatabase::systemFont(QFontDatabase::GeneralFont), size, weight);
    if (const auto family = roundedFamily()) font.setFamilies({*family});
    return font;
}

QFont monoFont(double size, QFont::Weight weight) {
    return sized(QFontDatabase::systemFont(QFontDatabase::FixedFont), size, weight);
}

QColor rainbowColor(double t) {
    constexpr int n = int(RAINBOW.size());
    constexpr int m = n - 1;
    // NaN counts as the end; so does anything at or beyond it.
    const double clamped = std::isnan(t) || t >= 1 ? 1.0 : t < 0 ? 0.0 : t;
    const double x = clamped * m;
    const int i = std::min(m - 1, int(x));
    const double f = x - i;
    const QColor& a = RAINBOW[std::size_t(i)];
    const QColor& b = RAINBOW[std::size_t(i) + 1];
    auto mix = [f](float from, float to) { return float(from + f * (to - from)); };
    return QColor::fromRgbF(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()),
                            mix(a.blueF(), b.blueF()));
}

StyledText rainbowAttr(const QString& text, const QFont& font) {
    QStringList characters;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        characters << text.mid(start, finder.position() - start);
        start = finder.position();
    }
    StyledText runs;
    const qsizetype n = characters.size();
    for (qsizetype i = 0; i < n; ++i) {
        const double t = n >= 2 ? double(i) / double(n - 1) : 0.0;
        runs.append({characters[i], rainbowColor(t), font});
    }
    return runs;
}

QString styledHtml(const StyledText& text) {
    QString html = QStringLiteral("<span style=\"white-space:pre-wrap\">");
    for (const TextRun& run : text) {
        html += QStringLiteral("<span style=\"font-family:'%1'; font-size:%2px; font-weight:%3; "
                               "color:%4\">%5</span>")
                    .arg(run.font.family())
                    .arg(run.font.pixelSize())
                    .arg(run.font.weight())
                    .arg(run.color.name(), run.text.toHtmlEscaped());
    }
    return html + QStringLiteral("</span>");
}

void insertStyled(QTextCursor& cursor, const StyledText& text, const QString& toolTip) {
    for (const TextRun& run : text) {
        QTextCharFormat format;
        format.setFont(run.font);
        format.setForeground(run.color);
        if (!toolTip.isEmpty()) format.setToolTip(toolTip);
        cursor.insertText(run.text, format);
    }
}

QRect flipped(int parentHeight, int x, int y, int width, int height) {
    return {x, parentHeight - y - height, width, height};
}

QLabel* label(QWidget* parent, const QString& text, const QRect& frame, double size,
              QFont::Weight weight, Qt::Alignment align, const QColor& color, bool rounded) {
    auto* field = new QLabel(text, parent);
    field->setGeometry(frame);
    field->setTextFormat(Qt::PlainText);
    field->setTextInteractionFlags(Qt::NoTextInteraction);
    field->setAlignment(align | Qt::AlignVCenter);
    field->setWordWrap(true);
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, color);
    field->setPalette(palette);
    QFont font = rounded
                     ? roundedFont(size, weight)
                     : sized(QFontDatabase::systemFont(QFontDatabase::GeneralFont), size, weight);
    // A one-line frame keeps its text whole: where the font runs wider than the layout assumed,
    // the text is set a little smaller rather than wrapped out of sight.
    const int minimum = std::max(1, int(font.pixelSize() * 0.75));
    while (font.pixelSize() > minimum && QFontMetrics(font).lineSpacing() * 2 > frame.height() &&
           QFontMetrics(font).horizontalAdvance(text) > frame.width())
        font.setPixelSize(font.pixelSize() - 1);
    field->setFont(font);
    return field;
}

QWidget* cardView(QWidget* parent, const QRect& frame) {
    auto* card = new RoundedPanel(C_card, 16, parent);
    card->setGeometry(frame);
    return card;
}

namespace {

// An image view showing image centred, scaled down (never up) to fit.
QLabel* imageView(QWidget* parent, const QRect& frame, QPixmap image) {
    auto* view = new QLabel(parent);
    view->setGeometry(frame);
    view->setAlignment(Qt::AlignCenter);
    const QSizeF logical = image.deviceIndependentSize();
    if (logical.width() > frame.width() || logical.height() > frame.height()) {
        const double ratio = image.devicePixelRatio();
        image = image.scaled(frame.size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image.setDevicePixelRatio(ratio);
    }
    view->setPixmap(image);
    return view;
}

} // namespace

QWidget* iconTile(QWidget* parent, const QRect& frame, const QString& symbol, const QColor& tint,
                  const QColor& bg) {
    auto* tile = new RoundedPanel(bg, 11, parent);
    tile->setGeometry(frame);
    if (auto image = renderSymbol(symbol, frame.width() * 0.46, tint))
        imageView(tile, QRect(QPoint(0, 0), frame.size()), QPixmap::fromImage(*image));
    return tile;
}

std::optional<QPixmap> gradientSymbol(const QString& name, double pointSize,
                                      const QList<QColor>& colors) {
    auto image = renderSymbol(name, pointSize, Qt::black);
    if (!image) return std::nullopt;
    if (colors.size() >= 2) {
        const QSizeF size = image->deviceIndependentSize();
        QLinearGradient gradient(0, size.height(), 0, 0); // first colour at the bottom
        for (qsizetype i = 0; i < colors.size(); ++i)
            gradient.setColorAt(double(i) / double(colors.size() - 1), colors[i]);
        QPainter painter(&*image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        painter.fillRect(QRectF(QPointF(0, 0), size), gradient);
    }
    return QPixmap::fromImage(*image);
}

QStringList assetDirs() {
    // Found from the program itself, so a tree installed under any prefix, or the build tree,
    // finds its own pictures.
    if (!QCoreApplication::instance()) return {};
    return {QDir(QCoreApplication::applicationDirPath())
                .filePath(QStringLiteral("../share/tintguard"))};
}

std::optional<QPixmap> loadAsset(const QString& name, const QString& ext, const QStringList& dirs) {
    // The sharper picture where the screen has more than one pixel per point.
    const auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const qreal ratio = gui ? gui->devicePixelRatio() : 1.0;
    QStringList files;
    if (ratio > 1) files << name + QStringLiteral("@2x.") + ext;
    files << name + QLatin1Char('.') + ext;
    for (const QString& dir : dirs) {
        for (const QString& file : files) {
            const QString path = QDir(dir).filePath(file);
            if (!QFileInfo(path).isFile()) continue;
            QImageReader reader(path);
            const QImage image = reader.read();
            if (image.isNull()) return std::nullopt; // the resource is there but unreadable
            QPixmap pixmap = QPixmap::fromImage(image);
            if (file.contains(QLatin1String("@2x."))) pixmap.setDevicePixelRatio(2);
            return pixmap;
        }
    }
    return std::nullopt;
}

} // namespace tg
