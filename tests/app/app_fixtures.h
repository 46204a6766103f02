// Helpers for the window's tests: media made by ffmpeg, and what a user's drop sends.
#pragma once

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QProcess>
#include <QUrl>
#include <QWidget>

// Runs ffmpeg quietly with args, split at spaces; true when it succeeded.
inline bool ffmpeg(const QString& args) {
    return QProcess::execute("ffmpeg", QStringList{"-nostdin", "-y", "-loglevel", "error"} +
                                           args.split(' ')) == 0;
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
