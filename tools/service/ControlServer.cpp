#include "ControlServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPointer>
#include <grp.h>
#include <unistd.h>

ControlServer::ControlServer(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::onConnection);
}

bool ControlServer::listen(const QString& path, QString* error) {
    QLocalServer::removeServer(path);
    server_.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (!server_.listen(path)) {
        *error = QStringLiteral("%1: %2").arg(path, server_.errorString());
        return false;
    }
    // The technicians' group, who may use the ports, may use the service.
    if (const group* dialout = ::getgrnam("dialout")) [[maybe_unused]]
        const int changed =
            ::chown(QFile::encodeName(path).constData(), uid_t(-1), dialout->gr_gid);
    return true;
}

void ControlServer::onConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequest)
                    socket->disconnectFromServer();
                return;
            }
            const QString request = QString::fromUtf8(socket->readLine(kMaxRequest)).trimmed();
            QPointer<QLocalSocket> client(socket);
            handler_(request, [client](const QJsonObject& answer) {
                if (!client)
                    return;
                client->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
                client->flush();
                client->disconnectFromServer();
            });
        });
    }
}
