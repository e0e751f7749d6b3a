#include "app/InstanceServer.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "app/NativePath.h"

using SingleInstance::FrameReader;
using SingleInstance::MessageType;

namespace {

QString ListenReason(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::SocketAccessError:
            return SystemReason(EACCES);
        case QAbstractSocket::AddressInUseError:
            return SystemReason(EADDRINUSE);
        case QAbstractSocket::SocketResourceError:
            return SystemReason(EMFILE);
        case QAbstractSocket::HostNotFoundError:
            return SystemReason(ENOENT);
        case QAbstractSocket::UnsupportedSocketOperationError:
            return SystemReason(EOPNOTSUPP);
        default:
            return QStringLiteral("Socket-Fehler %1").arg(static_cast<int>(error));
    }
}

}  // namespace

struct InstanceServer::Peer {
    QLocalSocket* socket = nullptr;
    QTimer* timer = nullptr;
    FrameReader reader;
    bool bGreeted = false;
    bool bRequested = false;
};

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {}

InstanceServer::~InstanceServer() {
    Close();
}

Result<void> InstanceServer::Listen() {
    const Result<QString> socketPath = SingleInstance::SocketPath();
    if (!socketPath) {
        return Failure{socketPath.Reason()};
    }
    const QString& path = *socketPath;
    Close();
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->setMaxPendingConnections(kMaxPeers);
    // Whoever holds the lock owns the name: a file left there is stale.
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        const QString reason = ListenReason(server_->serverError());
        delete server_;
        server_ = nullptr;
        return Failure{QStringLiteral("Am Socket „%1“ kann nicht gelauscht werden: %2")
                           .arg(DisplayPath(path), reason)};
    }
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::OnNewConnection);
    return {};
}

void InstanceServer::Close() {
    while (!peers_.empty()) {
        Drop(peers_.begin()->first);
    }
    if (server_ != nullptr) {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
}

void InstanceServer::OnNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (peers_.size() >= static_cast<size_t>(kMaxPeers)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const quint64 id = nextId_++;
        auto peer = std::make_unique<Peer>();
        peer->socket = socket;
        peer->timer = new QTimer(socket);
        peer->timer->setSingleShot(true);
        connect(peer->timer, &QTimer::timeout, this, [this, id] { Drop(id); });
        peer->timer->start(SingleInstance::kPeerTimeoutMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, id] { OnReadyRead(id); });
        // A peer that leaves before its answer is forgotten; its request still runs.
        connect(socket, &QLocalSocket::disconnected, this, [this, id] {
            const auto it = peers_.find(id);
            if (it != peers_.end() && !it->second->bRequested) {
                Drop(id);
            }
        });
        peers_.emplace(id, std::move(peer));
        OnReadyRead(id);
    }
}

void InstanceServer::OnReadyRead(quint64 id) {
    const auto it = peers_.find(id);
    if (it == peers_.end()) {
        return;
    }
    Peer& peer = *it->second;
    peer.reader.Append(peer.socket->readAll());
    MessageType type{};
    QByteArray body;
    for (;;) {
        const FrameReader::Status status = peer.reader.Next(&type, &body);
        if (status == FrameReader::Status::NeedMore) {
            return;
        }
        // After its request a peer only waits.
        if (status == FrameReader::Status::Bad || peer.bRequested) {
            Drop(id);
            return;
        }
        if (!peer.bGreeted) {
            if (type != MessageType::Hello || !SingleInstance::GreetingVersion(body)) {
                Drop(id);
                return;
            }
            peer.bGreeted = true;
            peer.socket->write(
                SingleInstance::Frame(MessageType::Welcome, SingleInstance::GreetingBody()));
            continue;
        }
        if (type == MessageType::Activate && body.isEmpty()) {
            peer.bRequested = true;
            peer.timer->stop();
            Q_EMIT ActivateRequested(id);
            return;
        }
        const std::optional<QStringList> texts =
            type == MessageType::Add ? SingleInstance::DecodeTexts(body) : std::nullopt;
        if (!texts || texts->isEmpty()) {
            Drop(id);
            return;
        }
        peer.bRequested = true;
        peer.timer->stop();
        Q_EMIT AddRequested(id, texts->front(), texts->mid(1));
        return;
    }
}

void InstanceServer::Answer(quint64 lRequest, SingleInstance::ResultCode code,
                            const QString& sText) {
    const auto it = peers_.find(lRequest);
    if (it == peers_.end()) {
        return;
    }
    QLocalSocket* socket = it->second->socket;
    socket->write(
        SingleInstance::Frame(MessageType::Result, SingleInstance::ResultBody(code, sText)));
    // The bytes go out before the socket closes; the peer reads them and then sees the end.
    socket->disconnectFromServer();
    it->second->socket = nullptr;
    socket->disconnect(this);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->state() == QLocalSocket::UnconnectedState) {
        socket->deleteLater();
    }
    peers_.erase(it);
}

void InstanceServer::Drop(quint64 id) {
    const auto it = peers_.find(id);
    if (it == peers_.end()) {
        return;
    }
    if (QLocalSocket* socket = it->second->socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    peers_.erase(it);
}
