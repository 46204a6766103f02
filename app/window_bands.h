// The window's bands, top to bottom: header, drop zone, options, progress, results, footer. Each
// adds its views to the fixed-size content view and returns those the delegate keeps.
#pragma once

#include <QString>

class QLabel;
class QProgressBar;
class QTextEdit;
class QWidget;

namespace tg {

class DropView;
class ToggleSwitch;

// The picture, the name and the tag line; the application icon where it is installed.
void addHeaderBand(QWidget* content);

struct DropBand {
    DropView* view;
    QLabel* line; // the bottom line, which starts with fileTypes
};
DropBand addDropBand(QWidget* content, const QString& fileTypes);

struct ModeSwitches {
    ToggleSwitch* copy;
    ToggleSwitch* inPlace;
    ToggleSwitch* bake;
};
// Copy, in place, bake, top to bottom, a line between rows.
ModeSwitches addOptionsBand(QWidget* content);

// Hidden until a batch reports progress.
QProgressBar* addProgressBar(QWidget* content);

// The scrolling, selectable, read-only result list inside its card.
QTextEdit* addResultsBand(QWidget* content);

void addFooter(QWidget* content);

} // namespace tg
