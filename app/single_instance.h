// One Tintguard per user: a later launch hands its files to the running one over a local socket.
#pragma once

#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QUrl>

namespace tg {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    // The user's socket: in XDG_RUNTIME_DIR where there is one, else Qt's temporary folder.
    static QString defaultName();

    // Sends files, as one request, to the instance listening on name. True once that instance
    // has taken them; false when none answers.
    static bool handOver(const QString& name, const QList<QUrl>& files);

    // Starts answering on the name, first removing a socket that no one answers on. False when
    // another instance answers there or the socket cannot be made.
    bool listen();

signals:
    // One per request, in arrival order.
    void filesRequested(const QList<QUrl>& files);

private:
    void acceptConnection();

    QString name_;
    QLocalServer server_;
};

} // namespace tg
