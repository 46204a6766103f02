#include "app/reveal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>

namespace tg {

namespace {

void openFolderOf(const QUrl& file) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath()));
}

} // namespace

void revealInFileManager(const QList<QUrl>& files) {
    if (files.isEmpty()) return;
    const QUrl first = files.first();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolderOf(first);
        return;
    }
    QStringList uris;
    for (const QUrl& file : files)
        uris << file.toString(QUrl::FullyEncoded);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    // Asynchronous, so a slow file manager never stalls the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [first](QDBusPendingCallWatcher* done) {
                         if (done->isError()) openFolderOf(first);
                         done->deleteLater();
                     });
}

} // namespace tg
