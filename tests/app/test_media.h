// Real media for the window's tests, made at test time with the ffmpeg command-line tool.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

class QTextDocument;

namespace tgapptest {

// Runs ffmpeg quietly; true when it exits 0.
bool ffmpeg(const QStringList& args);

// A tiny H.264 movie (64 x 48, 5 frames) at path; colour lists ffmpeg's colour options
// (e.g. -color_primaries bt709 ...), empty for a movie without a colour tag. Empty on failure.
QString makeMovie(const QString& path, const QStringList& colour = {});
// A one-frame image (PNG, JPEG, TIFF by extension) at path. Empty on failure.
QString makeImage(const QString& path);

// The colour options of a BT.709-tagged movie and of an HDR (PQ) one.
QStringList bt709();
QStringList hdrPq();

// The document's text, one string per block (line).
QStringList blockTexts(const QTextDocument* document);
// The foreground colour of the first character of block index.
QColor blockColor(const QTextDocument* document, int index);

} // namespace tgapptest
