#include "test_media.h"

#include <QProcess>
#include <QTextBlock>
#include <QTextDocument>

namespace tgapptest {

bool ffmpeg(const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ffmpeg"),
                  QStringList{"-nostdin", "-y", "-loglevel", "error"} + args);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QString makeMovie(const QString& path, const QStringList& colour) {
    QStringList args{"-f",        "lavfi",  "-i",   "testsrc=size=64x48:rate=5",
                     "-frames:v", "5",      "-c:v", "libx264",
                     "-pix_fmt",  "yuv420p"};
    args << colour << path;
    return ffmpeg(args) ? path : QString();
}

QString makeImage(const QString& path) {
    return ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1", path}) ? path
                                                                                       : QString();
}

QStringList bt709() {
    return {"-color_primaries", "bt709", "-color_trc", "bt709",
            "-colorspace",      "bt709", "-movflags",  "+write_colr"};
}

QStringList hdrPq() {
    return {"-color_primaries", "bt2020",   "-color_trc", "smpte2084",
            "-colorspace",      "bt2020nc", "-movflags",  "+write_colr"};
}

QStringList blockTexts(const QTextDocument* document) {
    QStringList texts;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        texts << block.text();
    return texts;
}

QColor blockColor(const QTextDocument* document, int index) {
    const QTextBlock block = document->findBlockByNumber(index);
    if (!block.isValid() || block.begin().atEnd()) return {};
    return block.begin().fragment().charFormat().foreground().color();
}

} // namespace tgapptest
