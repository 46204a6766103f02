#include "app/window_bands.h"

#include "app/drop_view.h"
#include "app/rounded_panel.h"
#include "app/toggle_switch.h"
#include "app/visuals.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTextEdit>

#include <algorithm>

namespace tg {

namespace {

struct OptionRow {
    int tileY; // bottom-left origin; the title, subtitle and switch sit level with the tile
    QColor tileColor;
    const char* symbol;
    QColor tint;
    const char* title;
    const char* subtitle;
    bool on;
};

// The text frames reach under the switch; their texts must not. A text wider than the room left
// of the switch is set a little smaller in the same font, never cut.
void fitLeftOf(QLabel* field, int edge) {
    QFont font = field->font();
    const int room = edge - field->x();
    const int minimum = std::max(1, int(font.pixelSize() * 0.8));
    while (font.pixelSize() > minimum && QFontMetrics(font).horizontalAdvance(field->text()) > room)
        font.setPixelSize(font.pixelSize() - 1);
    field->setFont(font);
}

// One row of the options card; returns its switch.
ToggleSwitch* addOptionRow(QWidget* card, const OptionRow& row) {
    const int h = card->height();
    const QString title = QString::fromUtf8(row.title);
    iconTile(card, flipped(h, 20, row.tileY, 40, 40), QString::fromLatin1(row.symbol), row.tint,
             row.tileColor);
    QLabel* titleLabel =
        label(card, title, flipped(h, 74, row.tileY + 20, 390, 20), 15, QFont::DemiBold);
    QLabel* subtitle =
        label(card, QString::fromUtf8(row.subtitle), flipped(h, 74, row.tileY + 1, 400, 18), 12,
              QFont::Normal, Qt::AlignLeft, C_sub);
    auto* toggle = new ToggleSwitch(card);
    toggle->setGeometry(flipped(h, 462, row.tileY + 9, 38, 22));
    toggle->setChecked(row.on);
    toggle->setAccessibleName(title);
    fitLeftOf(titleLabel, toggle->x());
    fitLeftOf(subtitle, toggle->x());
    return toggle;
}

void addSeparator(QWidget* card, int y) {
    (new RoundedPanel(C_line, 0, card))->setGeometry(flipped(card->height(), 20, y, 480, 1));
}

} // namespace

void addHeaderBand(QWidget* content) {
    const int h = content->height();
    if (auto hero = loadAsset(QStringLiteral("hero"), QStringLiteral("png"))) {
        auto* header = new QLabel(content);
        header->setObjectName(QStringLiteral("header"));
        header->setGeometry(flipped(h, 0, 660, 600, 160));
        header->setScaledContents(true);
        header->setPixmap(*hero);
    }
    if (auto icon = loadAsset(QStringLiteral("appicon_gpt_256"), QStringLiteral("png")))
        QApplication::setWindowIcon(QIcon(*icon));

    label(content, QStringLiteral("Tintguard"), flipped(h, 0, 600, 600, 60), 46, QFont::ExtraBold,
          Qt::AlignHCenter)
        ->setObjectName(QStringLiteral("title"));
    const QFont tagFont = roundedFont(18, QFont::Medium);
    StyledText tag = {TextRun{QStringLiteral("Your grade \u2014 "), C_sub, tagFont}};
    tag << rainbowAttr(QStringLiteral("everywhere"), tagFont);
    tag << TextRun{QStringLiteral(" it plays."), C_sub, tagFont};
    QLabel* tagLine =
        label(content, {}, flipped(h, 0, 556, 600, 26), 18, QFont::Medium, Qt::AlignHCenter);
    tagLine->setObjectName(QStringLiteral("tagLine"));
    tagLine->setTextFormat(Qt::RichText);
    tagLine->setText(styledHtml(tag));
}

DropBand addDropBand(QWidget* content, const QString& fileTypes) {
    auto* view = new DropView(content);
    view->setGeometry(flipped(content->height(), 40, 388, 520, 150));
    auto* glow = new QGraphicsDropShadowEffect(view);
    QColor glowColor = C_purple;
    glowColor.setAlphaF(0.16f);
    glow->setColor(glowColor);
    glow->setBlurRadius(16);
    glow->setOffset(0, 0);
    view->setGraphicsEffect(glow);

    const int h = view->height();
    if (auto arrow =
            gradientSymbol(QStringLiteral("square.and.arrow.up"), 34, {C_blue, C_purple})) {
        auto* symbolView = new QLabel(view);
        symbolView->setObjectName(QStringLiteral("dropSymbol"));
        symbolView->setGeometry(flipped(h, 238, 92, 44, 44));
        symbolView->setAlignment(Qt::AlignCenter);
        symbolView->setPixmap(*arrow);
    }
    label(view, QStringLiteral("Drag & drop your videos or photos"), flipped(h, 0, 58, 520, 26), 18,
          QFont::Bold, Qt::AlignHCenter);
    label(view, QStringLiteral("or click to choose files"), flipped(h, 0, 36, 520, 18), 14,
          QFont::DemiBold, Qt::AlignHCenter, C_purple);
    QLabel* line = label(view, fileTypes, flipped(h, 0, 15, 520, 16), 12, QFont::Normal,
                         Qt::AlignHCenter, C_sub);
    line->setObjectName(QStringLiteral("dropLine"));
    return {view, line};
}

ModeSwitches addOptionsBand(QWidget* content) {
    QWidget* card = cardView(content, flipped(content->height(), 40, 176, 520, 184));
    card->setObjectName(QStringLiteral("optionsCard"));
    ModeSwitches switches{};
    switches.copy = addOptionRow(
        card, {132, QColor::fromRgbF(1.00f, 0.93f, 0.86f), "bolt.fill", SYSTEM_ORANGE,
               "Write a P3 copy", "Keeps your original untouched. Needs room for a copy.", true});
    addSeparator(card, 122);
    switches.inPlace =
        addOptionRow(card, {72, C_violetBG, "tag.fill", C_purple, "Tag this file in place",
                            "No copy \u2014 uses no extra space. Changes the file itself.", false});
    addSeparator(card, 62);
    switches.bake = addOptionRow(card, {10, QColor::fromRgbF(0.90f, 0.94f, 1.00f), "globe", C_blue,
                                        "Bake for web (YouTube, Vimeo, Google Photos)",
                                        "Matches everywhere. Full quality \u2014 needs room for "
                                        "one new file.",
                                        false});
    return switches;
}

QProgressBar* addProgressBar(QWidget* content) {
    auto* bar = new QProgressBar(content);
    bar->setGeometry(flipped(content->height(), 40, 366, 520, 8));
    bar->setRange(0, 1000);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->hide();
    return bar;
}

QTextEdit* addResultsBand(QWidget* content) {
    QWidget* card = cardView(content, flipped(content->height(), 40, 74, 520, 90));
    card->setObjectName(QStringLiteral("resultsCard"));
    auto* list = new QTextEdit(card);
    list->setGeometry(flipped(card->height(), 4, 4, 512, 82));
    list->setReadOnly(true);
    list->setUndoRedoEnabled(false);
    list->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    list->setFrameShape(QFrame::NoFrame);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette clear = list->palette();
    clear.setColor(QPalette::Base, Qt::transparent);
    list->setPalette(clear);
    list->viewport()->setAutoFillBackground(false);
    list->document()->setDocumentMargin(0);
    return list;
}

void addFooter(QWidget* content) {
    QLabel* footer = label(
        content,
        QStringLiteral("Lumen Harbor   \u00b7   color-accurate   \u00b7   your masters stay safe"),
        flipped(content->height(), 0, 44, 600, 18), 12, QFont::Medium, Qt::AlignHCenter, C_sub);
    footer->setObjectName(QStringLiteral("footer"));
}

} // namespace tg
