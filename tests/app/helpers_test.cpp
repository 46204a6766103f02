// The result list's tables and the rainbow word.
#include "app/batch.h"
#include "app/symbols.h"
#include "app/visuals.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace tg;

namespace {

constexpr int ABSENT = -1; // no outcome yet

std::optional<TGOutcome> outcomeOf(int value) {
    return value == ABSENT ? std::nullopt : std::optional(TGOutcome(value));
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.redF() - b.redF()) <= 1e-3 && std::abs(a.greenF() - b.greenF()) <= 1e-3 &&
           std::abs(a.blueF() - b.blueF()) <= 1e-3 && a.alphaF() == b.alphaF();
}

} // namespace

class HelpersTest : public QObject {
    Q_OBJECT
private slots:
    void mergeOutcome_data() {
        QTest::addColumn<int>("soFar");
        QTest::addColumn<int>("next");
        QTest::addColumn<int>("expected");
        using O = TGOutcome;
        auto row = [](const char* name, int a, O b, O c) {
            QTest::newRow(name) << a << int(b) << int(c);
        };
        row("first outcome stands alone", ABSENT, O::already, O::already);
        row("fixed beats already", int(O::already), O::fixed, O::fixed);
        row("fixed stays before already", int(O::fixed), O::already, O::fixed);
        row("error wins after", int(O::fixed), O::error, O::error);
        row("error wins before", int(O::error), O::added, O::error);
        row("hdr beats already", int(O::already), O::hdr, O::hdr);
        row("tie goes to the later: fixed, added", int(O::fixed), O::added, O::added);
        row("tie goes to the later: hdr, skipped", int(O::hdr), O::skipped, O::skipped);
        row("fixed stays before skipped", int(O::fixed), O::skipped, O::fixed);
    }

    void mergeOutcome() {
        QFETCH(int, soFar);
        QFETCH(int, next);
        QFETCH(int, expected);
        QCOMPARE(int(tg::mergeOutcome(outcomeOf(soFar), TGOutcome(next))), expected);
    }

    void symbolAndColour_data() {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("symbol"); // none for an absent outcome
        QTest::addColumn<QColor>("colour");
        QTest::newRow("absent") << ABSENT << QString() << C_sub;
        QTest::newRow("fixed") << int(TGOutcome::fixed) << QStringLiteral("\u2713") << SYSTEM_GREEN;
        QTest::newRow("added") << int(TGOutcome::added) << QStringLiteral("\u2713") << SYSTEM_GREEN;
        QTest::newRow("already") << int(TGOutcome::already) << QStringLiteral("\u2022") << C_sub;
        QTest::newRow("hdr") << int(TGOutcome::hdr) << QStringLiteral("\u2014") << SYSTEM_ORANGE;
        QTest::newRow("skipped") << int(TGOutcome::skipped) << QStringLiteral("\u2014")
                                 << SYSTEM_ORANGE;
        QTest::newRow("error") << int(TGOutcome::error) << QStringLiteral("\u2715") << SYSTEM_RED;
    }

    void symbolAndColour() {
        QFETCH(int, outcome);
        QFETCH(QString, symbol);
        QFETCH(QColor, colour);
        if (outcome != ABSENT) QCOMPARE(tg::symbol(TGOutcome(outcome)), symbol);
        QCOMPARE(tg::colorFor(outcomeOf(outcome)), colour);
    }

    void rainbowColor_data() {
        QTest::addColumn<double>("t");
        QTest::addColumn<QColor>("expected");
        const QColor a = RAINBOW[0], b = RAINBOW[1];
        QTest::newRow("-3 clamps to the first") << -3.0 << a;
        QTest::newRow("0 is the first") << 0.0 << a;
        QTest::newRow("1/12 is midway between the first two")
            << 1.0 / 12
            << QColor::fromRgbF((a.redF() + b.redF()) / 2, (a.greenF() + b.greenF()) / 2,
                                (a.blueF() + b.blueF()) / 2);
        QTest::newRow("0.5 is the middle colour") << 0.5 << RAINBOW[3];
        QTest::newRow("1 is the last") << 1.0 << RAINBOW[6];
        QTest::newRow("7 clamps to the last") << 7.0 << RAINBOW[6];
        QTest::newRow("NaN counts as the end")
            << std::numeric_limits<double>::quiet_NaN() << RAINBOW[6];
    }

    void rainbowColor() {
        QFETCH(double, t);
        QFETCH(QColor, expected);
        const QColor got = tg::rainbowColor(t);
        QVERIFY2(near(got, expected), qPrintable(got.name() + " != " + expected.name()));
    }

    void rainbowAttr_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("characters");
        QTest::addColumn<QList<double>>("positions");
        QStringList letters;
        QList<double> spread;
        for (int i = 0; i < 10; ++i) {
            letters << QString(QStringLiteral("everywhere")[i]);
            spread << i / 9.0;
        }
        QTest::newRow("everywhere: 0, 1/9 ... 1")
            << QStringLiteral("everywhere") << letters << spread;
        QTest::newRow("empty") << QString() << QStringList{} << QList<double>{};
        // e + combining acute and a character outside the BMP: two characters, four code units.
        QTest::newRow("characters, not code units")
            << QStringLiteral("e\u0301\U0001F308") << QStringList{"e\u0301", "\U0001F308"}
            << QList<double>{0, 1};
    }

    void rainbowAttr() {
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
};

QTEST_MAIN(HelpersTest)
#include "helpers_test.moc"
