// Helpers for the window's tests: the suite's shared media, the window launched, and what a user's
// drop sends.
#pragma once

#include "app/app_delegate.h"
#include "fixtures/media.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <memory>

// One of the suite's clips (fixtures/media.h) copied to path.
inline QString placed(const std::string& kind, const QString& path) {
    std::filesystem::copy_file(tgtest::clip(kind), path.toStdString());
    return path;
}

inline QList<QUrl> urlsOf(const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    return urls;
}

// Drags urls onto the middle of target and drops them there.
inline void dropOn(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(target->width() / 2, target->height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

// The window, launched; what it would show in the file manager goes to revealed.
inline std::unique_ptr<tg::AppDelegate> launch(QList<QList<QUrl>>& revealed) {
    auto d = std::make_unique<tg::AppDelegate>();
    d->reveal = [&revealed](const QList<QUrl>& files) { revealed << files; };
    d->finishLaunching();
    return d;
}
