#pragma once
// InstanceServer: the window's end of the single-instance socket (protocol in SingleInstance.h).
// It greets each peer, hands on its one request and sends the answer the window gives. A peer
// that sends anything else, too much, or nothing for kPeerTimeoutMs is dropped; at most kMaxPeers
// are served at once. Runs on the thread that created it, inside its event loop.

#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>

#include "app/Result.h"
#include "app/SingleInstance.h"

class QLocalServer;
class QLocalSocket;
class QTimer;

class InstanceServer : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxPeers = 32;

    explicit InstanceServer(QObject* parent = nullptr);
    ~InstanceServer() override;

    /// Listens on the socket of SingleInstance, replacing a socket file left there by a window that
    /// ended without removing it. The caller holds the SingleInstance::Lock.
    Result<void> Listen();
    /// Stops listening and drops every peer (answered or not).
    void Close();

    /// Answers request lRequest; the peer's connection ends with it. Nothing when the peer has
    /// gone.
    void Answer(quint64 lRequest, SingleInstance::ResultCode code, const QString& sText = {});

Q_SIGNALS:
    void ActivateRequested(quint64 lRequest);
    /// sWorkingFolder: the peer's, for relative tokens.
    void AddRequested(quint64 lRequest, const QString& sWorkingFolder, const QStringList& tokens);

private:
    struct Peer;
    void OnNewConnection();
    void OnReadyRead(quint64 id);
    void Drop(quint64 id);

    QLocalServer* server_ = nullptr;
    std::map<quint64, std::unique_ptr<Peer>> peers_;
    quint64 nextId_ = 1;
};
