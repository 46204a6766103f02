// The result list's tables and the rainbow word.
#include "app/batch.h"
#include "app/symbols.h"
#include "app/visuals.h"

#include <QTest>

#include <tuple>

using namespace tg;
using enum TGOutcome;

namespace {

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.redF() - b.redF()) <= 1e-3 && std::abs(a.greenF() - b.greenF()) <= 1e-3 &&
           std::abs(a.blueF() - b.blueF()) <= 1e-3 && a.alphaF() == b.alphaF();
}

} // namespace

class HelpersTest : public QObject {
    Q_OBJECT
private slots:
    // The higher rank speaks for the file; a tie goes to the later outcome.
    void mergeOutcome() {
        const std::tuple<std::optional<TGOutcome>, TGOutcome, TGOutcome> rows[] = {
            {std::nullopt, already, already},
            {already, fixed, fixed},
            {fixed, already, fixed},
            {fixed, error, error},
            {error, added, error},
            {already, hdr, hdr},
            {fixed, added, added},
            {hdr, skipped, skipped},
            {fixed, skipped, fixed}};
        for (const auto& [soFar, next, expected] : rows)
            QCOMPARE(tg::mergeOutcome(soFar, next), expected);
    }

    void symbolAndColour() {
        const std::tuple<TGOutcome, QString, QColor> rows[] = {
            {fixed, "\u2713", SYSTEM_GREEN},    {added, "\u2713", SYSTEM_GREEN},
            {already, "\u2022", C_sub},         {hdr, "\u2014", SYSTEM_ORANGE},
            {skipped, "\u2014", SYSTEM_ORANGE}, {error, "\u2715", SYSTEM_RED}};
        for (const auto& [outcome, symbol, colour] : rows) {
            QCOMPARE(tg::symbol(outcome), symbol);
            QCOMPARE(tg::colorFor(outcome), colour);
        }
        QCOMPARE(tg::colorFor(std::nullopt), C_sub);
    }

    // One run per user-perceived character, spread evenly from the first colour to the last:
    // e + combining acute and a character outside the BMP are two characters, four code units.
    void rainbowAttr() {
        const std::tuple<QString, QStringList, QList<double>> rows[] = {
            {"every", {"e", "v", "e", "r", "y"}, {0, 0.25, 0.5, 0.75, 1}},
            {"", {}, {}},
            {"e\u0301\U0001F308", {"e\u0301", "\U0001F308"}, {0, 1}}};
        const QFont font = roundedFont(13, QFont::Normal);
        for (const auto& [text, characters, positions] : rows) {
            const StyledText runs = tg::rainbowAttr(text, font);
            QCOMPARE(runs.size(), characters.size());
            for (qsizetype i = 0; i < runs.size(); ++i) {
                QCOMPARE(runs[i].text, characters[i]);
                QVERIFY(near(runs[i].color, tg::rainbowColor(positions[i])));
                QCOMPARE(runs[i].font, font);
            }
        }
    }
};

QTEST_MAIN(HelpersTest)
#include "helpers_test.moc"
