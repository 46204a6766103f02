#include "app/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QtEndian>

#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace tg {

namespace {

// A request is a 4-byte big-endian length, then the file URLs, percent-encoded (so free of line
// breaks), one a line. The length is checked before anything is buffered.
constexpr quint32 MAX_REQUEST = 64u << 20;
constexpr char ACK = 'k';
constexpr int WAIT_MS = 3000;

QByteArray encodeRequest(const QList<QUrl>& files) {
    QByteArray body;
    for (const QUrl& file : files)
        body += file.toEncoded() + '\n';
    QByteArray request(4, '\0');
    qToBigEndian(quint32(body.size()), request.data());
    return request + body;
}

QList<QUrl> decodeRequest(const QByteArray& body) {
    QList<QUrl> files;
    for (const QByteArray& line : body.split('\n')) {
        if (line.isEmpty()) continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (url.isValid() && url.isLocalFile()) files << url;
    }
    return files;
}

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
    socket.write(encodeRequest(files));
    if (!socket.waitForBytesWritten(WAIT_MS)) return false;
    // The running instance answers once it has the files; no answer means it did not take them.
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(WAIT_MS)) return false;
    char answer = 0;
    return socket.getChar(&answer) && answer == ACK;
}

bool SingleInstance::listen() {
    // Asked first: with restricted access Qt binds the socket elsewhere and moves it into place,
    // which would silently take the name from a running instance.
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(WAIT_MS)) return false; // someone answers: leave it be
    // A socket nobody answers on was left by an instance that did not end cleanly.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name_);
}

void SingleInstance::acceptConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, received] {
            *received += socket->readAll();
            if (received->size() < 4) return;
            const quint32 length = qFromBigEndian<quint32>(received->constData());
            const qsizetype whole = 4 + qsizetype(length);
            if (length > MAX_REQUEST || received->size() > whole) {
                socket->abort(); // not one of ours
                return;
            }
            if (received->size() < whole) return; // more to come
            const QList<QUrl> files = decodeRequest(received->mid(4));
            received->clear();
            socket->putChar(ACK);
            socket->flush();
            socket->disconnectFromServer();
            emit filesRequested(files);
        });
    }
}

} // namespace tg
