// The result list's tables and the look's small factories.
#include "app/batch.h"
#include "app/symbols.h"
#include "app/visuals.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using namespace tg;

namespace {

constexpr int ABSENT = -1;

std::optional<TGOutcome> outcomeOf(int value) {
    if (value == ABSENT) return std::nullopt;
    return TGOutcome(value);
}

bool near(const QColor& a, const QColor& b, double tolerance = 1e-3) {
    return std::abs(a.redF() - b.redF()) <= tolerance &&
           std::abs(a.greenF() - b.greenF()) <= tolerance &&
           std::abs(a.blueF() - b.blueF()) <= tolerance && a.alphaF() == b.alphaF();
}

QColor midpoint(const QColor& a, const QColor& b) {
    return QColor::fromRgbF((a.redF() + b.redF()) / 2, (a.greenF() + b.greenF()) / 2,
                            (a.blueF() + b.blueF()) / 2);
}

} // namespace

class HelpersTest : public QObject {
    Q_OBJECT
private slots:
    void mergeOutcome_data();
    void mergeOutcome();
    void symbol_data();
    void symbol();
    void colorFor_data();
    void colorFor();
    void rainbowColor_data();
    void rainbowColor();
    void rainbowAttr_data();
    void rainbowAttr();
    void labelDefaults();
    void labelKeepsOneLineTextWhole();
    void iconTileWithAndWithoutSymbol();
    void gradientSymbolRunsBottomToTop();
    void gradientSymbolDegrades();
    void loadAssetFindsOnlyReadableImages();
};

void HelpersTest::mergeOutcome_data() {
    QTest::addColumn<int>("soFar");
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("expected");
    using O = TGOutcome;
    auto row = [](const char* name, int a, O b, O c) {
        QTest::newRow(name) << a << int(b) << int(c);
    };
    row("first outcome stands alone", ABSENT, O::already, O::already);
    row("copy already, in place fixed", int(O::already), O::fixed, O::fixed);
    row("fixed then already keeps fixed", int(O::fixed), O::already, O::fixed);
    row("error wins after", int(O::fixed), O::error, O::error);
    row("error wins before", int(O::error), O::added, O::error);
    row("hdr after already", int(O::already), O::hdr, O::hdr);
    row("tie goes to the later: fixed, added", int(O::fixed), O::added, O::added);
    row("tie goes to the later: added, fixed", int(O::added), O::fixed, O::fixed);
    row("tie goes to the later: hdr, skipped", int(O::hdr), O::skipped, O::skipped);
    row("skipped below fixed", int(O::skipped), O::fixed, O::fixed);
    row("fixed above skipped", int(O::fixed), O::skipped, O::fixed);
}

void HelpersTest::mergeOutcome() {
    QFETCH(int, soFar);
    QFETCH(int, next);
    QFETCH(int, expected);
    QCOMPARE(int(tg::mergeOutcome(outcomeOf(soFar), TGOutcome(next))), expected);
}

void HelpersTest::symbol_data() {
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("fixed") << int(TGOutcome::fixed) << QStringLiteral("\u2713");
    QTest::newRow("added") << int(TGOutcome::added) << QStringLiteral("\u2713");
    QTest::newRow("already") << int(TGOutcome::already) << QStringLiteral("\u2022");
    QTest::newRow("hdr") << int(TGOutcome::hdr) << QStringLiteral("\u2014");
    QTest::newRow("skipped") << int(TGOutcome::skipped) << QStringLiteral("\u2014");
    QTest::newRow("error") << int(TGOutcome::error) << QStringLiteral("\u2715");
}

void HelpersTest::symbol() {
    QFETCH(int, outcome);
    QFETCH(QString, expected);
    QCOMPARE(tg::symbol(TGOutcome(outcome)), expected);
}

void HelpersTest::colorFor_data() {
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("absent") << ABSENT << C_sub;
    QTest::newRow("fixed") << int(TGOutcome::fixed) << SYSTEM_GREEN;
    QTest::newRow("added") << int(TGOutcome::added) << SYSTEM_GREEN;
    QTest::newRow("already") << int(TGOutcome::already) << C_sub;
    QTest::newRow("hdr") << int(TGOutcome::hdr) << SYSTEM_ORANGE;
    QTest::newRow("skipped") << int(TGOutcome::skipped) << SYSTEM_ORANGE;
    QTest::newRow("error") << int(TGOutcome::error) << SYSTEM_RED;
}

void HelpersTest::colorFor() {
    QFETCH(int, outcome);
    QFETCH(QColor, expected);
    QCOMPARE(tg::colorFor(outcomeOf(outcome)), expected);
}

void HelpersTest::rainbowColor_data() {
    QTest::addColumn<double>("t");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("-3 clamps to the first") << -3.0 << RAINBOW[0];
    QTest::newRow("0 is the first") << 0.0 << RAINBOW[0];
    QTest::newRow("1/12 is midway between the first two")
        << 1.0 / 12 << midpoint(RAINBOW[0], RAINBOW[1]);
    QTest::newRow("0.5 is the middle colour") << 0.5 << RAINBOW[3];
    QTest::newRow("1 is the last") << 1.0 << RAINBOW[6];
    QTest::newRow("7 clamps to the last") << 7.0 << RAINBOW[6];
    QTest::newRow("NaN counts as the end")
        << std::numeric_limits<double>::quiet_NaN() << RAINBOW[6];
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << RAINBOW[0];
    QTest::newRow("+inf") << std::numeric_limits<double>::infinity() << RAINBOW[6];
}

void HelpersTest::rainbowColor() {
    QFETCH(double, t);
    QFETCH(QColor, expected);
    const QColor got = tg::rainbowColor(t);
    QVERIFY2(near(got, expected), qPrintable(got.name() + " != " + expected.name()));
}

void HelpersTest::rainbowAttr_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("characters");
    QTest::addColumn<QList<double>>("positions");
    QStringList letters;
    QList<double> spread;
    for (int i = 0; i < 10; ++i) {
        letters << QString(QStringLiteral("everywhere")[i]);
        spread << i / 9.0;
    }
    QTest::newRow("everywhere: 0, 1/9 ... 1") << QStringLiteral("everywhere") << letters << spread;
    QTest::newRow("one character is the first colour")
        << QStringLiteral("a") << QStringList{"a"} << QList<double>{0};
    QTest::newRow("empty") << QString() << QStringList{} << QList<double>{};
    // e + combining acute and a character outside the BMP: two characters, four code units.
    QTest::newRow("characters, not code units")
        << QStringLiteral("e\u0301\U0001F308") << QStringList{"e\u0301", "\U0001F308"}
        << QList<double>{0, 1};
}

void HelpersTest::rainbowAttr() {
    QFETCH(QString, text);
    QFETCH(QStringList, characters);
    QFETCH(QList<double>, positions);
    const QFont font = roundedFont(13, QFont::Normal);
    const StyledText runs = tg::rainbowAttr(text, font);
    QCOMPARE(runs.size(), characters.size());
    for (qsizetype i = 0; i < runs.size(); ++i) {
        QCOMPARE(runs[i].text, characters[i]);
        QVERIFY(near(runs[i].color, tg::rainbowColor(positions[i])));
        QCOMPARE(runs[i].font, font);
    }
}

void HelpersTest::labelDefaults() {
    QWidget parent;
    QLabel* field = label(&parent, QStringLiteral("Hello"), QRect(1, 2, 300, 40), 13);
    QCOMPARE(field->geometry(), QRect(1, 2, 300, 40));
    QCOMPARE(field->text(), QStringLiteral("Hello"));
    QCOMPARE(field->palette().color(QPalette::WindowText), C_ink);
    QCOMPARE(field->font().weight(), QFont::Normal);
    QCOMPARE(field->font().pixelSize(), 13);
    QCOMPARE(field->textInteractionFlags(), Qt::NoTextInteraction);
    QVERIFY(field->wordWrap());
    QVERIFY(!field->autoFillBackground());
}

void HelpersTest::labelKeepsOneLineTextWhole() {
    QWidget parent;
    const QString text = QStringLiteral("Bake for web (YouTube, Vimeo, Google Photos)");
    QLabel* narrow = label(&parent, text, QRect(0, 0, 200, 20), 15, QFont::DemiBold);
    QVERIFY(narrow->font().pixelSize() < 15);
    QLabel* roomy = label(&parent, text, QRect(0, 0, 2000, 20), 15, QFont::DemiBold);
    QCOMPARE(roomy->font().pixelSize(), 15);
}

void HelpersTest::iconTileWithAndWithoutSymbol() {
    QWidget parent;
    QWidget* known =
        iconTile(&parent, QRect(20, 12, 40, 40), QStringLiteral("globe"), C_blue, C_card);
    QCOMPARE(known->geometry(), QRect(20, 12, 40, 40));
    const auto views = known->findChildren<QLabel*>();
    QCOMPARE(views.size(), 1);
    QCOMPARE(views[0]->geometry(), QRect(0, 0, 40, 40));
    QVERIFY(!views[0]->pixmap().isNull());
    // The symbol is 0.46 of the tile, never enlarged past the tile.
    QVERIFY(views[0]->pixmap().deviceIndependentSize().width() <= 40);

    QWidget* unknown =
        iconTile(&parent, QRect(0, 0, 40, 40), QStringLiteral("no.such"), C_blue, C_card);
    QVERIFY(unknown->findChildren<QLabel*>().isEmpty());
}

void HelpersTest::gradientSymbolRunsBottomToTop() {
    const auto pixmap =
        gradientSymbol(QStringLiteral("square.and.arrow.up"), 34, {C_blue, C_purple});
    QVERIFY(pixmap);
    const QImage image = pixmap->toImage().convertToFormat(QImage::Format_ARGB32);
    // The most opaque pixel of the top and of the bottom quarter.
    auto solidIn = [&](int from, int to) {
        QColor best(0, 0, 0, 0);
        for (int y = from; y < to; ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).alpha() > best.alpha()) best = image.pixelColor(x, y);
        return best;
    };
    const QColor top = solidIn(0, image.height() / 4);
    const QColor bottom = solidIn(image.height() * 3 / 4, image.height());
    QCOMPARE(top.alpha(), 255);
    QCOMPARE(bottom.alpha(), 255);
    // C_purple has red 124, C_blue none: the top leans purple, the bottom blue.
    QVERIFY2(top.red() > 80 && bottom.red() < 40, qPrintable(top.name() + " / " + bottom.name()));
}

void HelpersTest::gradientSymbolDegrades() {
    QVERIFY(!gradientSymbol(QStringLiteral("no.such.symbol"), 34, {C_blue, C_purple}));
    // One colour makes no gradient: the plain symbol, still an image.
    const auto plain = gradientSymbol(QStringLiteral("globe"), 34, {C_blue});
    QVERIFY(plain);
    const QImage image = plain->toImage();
    bool anyBlue = false;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            anyBlue |= image.pixelColor(x, y).alpha() > 0 && image.pixelColor(x, y).blue() > 40;
    QVERIFY(!anyBlue);
    QVERIFY(symbolPath(QStringLiteral("bolt.fill")));
    QVERIFY(symbolPath(QStringLiteral("tag.fill")));
    QVERIFY(
        !renderSymbol(QStringLiteral("globe"), std::numeric_limits<double>::quiet_NaN(), C_ink));
}

void HelpersTest::loadAssetFindsOnlyReadableImages() {
    QTemporaryDir first, second;
    QImage hero(60, 16, QImage::Format_RGB32);
    hero.fill(Qt::red);
    QVERIFY(hero.save(second.filePath(QStringLiteral("hero.png"))));
    const QStringList dirs{first.path(), second.path()};
    const auto found = loadAsset(QStringLiteral("hero"), QStringLiteral("png"), dirs);
    QVERIFY(found);
    QCOMPARE(found->size(), QSize(60, 16));
    QVERIFY(!loadAsset(QStringLiteral("appicon_gpt_256"), QStringLiteral("png"), dirs));

    QFile broken(first.filePath(QStringLiteral("appicon_gpt_256.png")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("not a picture");
    broken.close();
    QVERIFY(!loadAsset(QStringLiteral("appicon_gpt_256"), QStringLiteral("png"), dirs));
}

QTEST_MAIN(HelpersTest)
#include "helpers_test.moc"
