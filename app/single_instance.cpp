#include "app/single_instance.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace tg {

namespace {

constexpr auto STREAM_VERSION = QDataStream::Qt_6_0;
constexpr char ACK = 'k';
constexpr int WAIT_MS = 3000;

} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

QString SingleInstance::defaultName() {
#ifdef Q_OS_UNIX
    const QString base = QStringLiteral("tintguard-%1").arg(::getuid());
#else
    const QString base = QStringLiteral("tintguard-") + qEnvironmentVariable("USERNAME");
#endif
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) return QDir(runtime).filePath(base);
    return base;
}

bool SingleInstance::handOver(const QString& name, const QList<QUrl>& files) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(WAIT_MS)) return false;
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out.setVersion(STREAM_VERSION);
    out << files;
    socket.write(request);
    if (!socket.waitForBytesWritten(WAIT_MS)) return false;
    // The running instance answers once it has the files; no answer means it did not take them.
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(WAIT_MS)) return false;
    char answer = 0;
    return socket.getChar(&answer) && answer == ACK;
}

bool SingleInstance::listen() {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (server_.listen(name_)) return true;
    if (server_.serverError() != QAbstractSocket::AddressInUseError) return false;
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(WAIT_MS)) return false; // someone answers: leave it be
    // Left behind by an instance that did not end cleanly.
    QLocalServer::removeServer(name_);
    return server_.listen(name_);
}

void SingleInstance::acceptConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.setVersion(STREAM_VERSION);
            in.startTransaction();
            QList<QUrl> files;
            in >> files;
            if (!in.commitTransaction()) {
                if (in.status() == QDataStream::ReadCorruptData) socket->abort();
                return; // more to come
            }
            socket->putChar(ACK);
            socket->flush();
            socket->disconnectFromServer();
            emit filesRequested(files);
        });
    }
}

} // namespace tg
