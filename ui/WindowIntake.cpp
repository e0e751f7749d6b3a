#include "ui/WindowIntake.h"

#include <QMetaObject>

#include "app/InstanceServer.h"
#include "app/Intake.h"
#include "app/modBackup.h"

using SingleInstance::ResultCode;

WindowIntake::WindowIntake(Window window, QObject* parent)
    : QObject(parent), window_(std::move(window)) {
    server_ = new InstanceServer(this);
    connect(server_, &InstanceServer::ActivateRequested, this, [this](quint64 id) {
        if (window_.raise) {
            window_.raise();
        }
        server_->Answer(id, ResultCode::Done);
    });
    connect(server_, &InstanceServer::AddRequested, this, &WindowIntake::OnAdd);
}

WindowIntake::~WindowIntake() {
    JoinWorker();
}

bool WindowIntake::Listen(QString* sProblem) {
    return server_->Listen(sProblem);
}

void WindowIntake::Hold(bool bHold) {
    bHeld_ = bHold;
    TakeCollected();
}

void WindowIntake::Close() {
    JoinWorker();
    bCollecting_ = false;
    for (const Request& request : requests_) {
        server_->Answer(request.id, ResultCode::Closing);
    }
    requests_.clear();
    server_->Close();
}

void WindowIntake::OnAdd(quint64 id, const QString& sWorkingFolder, const QStringList& tokens) {
    requests_.push_back(Request{id, sWorkingFolder, tokens, {}, false});
    StartCollecting();
}

void WindowIntake::StartCollecting() {
    if (bCollecting_ || requests_.empty() || requests_.front().bCollected) {
        return;
    }
    JoinWorker();
    const Request& request = requests_.front();
    // The store is read here, on the window's thread; the worker touches nothing shared.
    const QStringList extensions = modBackup::FolderScanExtensions();
    bCollecting_ = true;
    worker_ = std::thread([this, id = request.id, tokens = request.tokens,
                           folder = request.sWorkingFolder, extensions] {
        const QStringList files = modBackup::CollectIntakeFiles(tokens, folder, extensions);
        // The destructor joins this thread, so the object outlives the call; a result still
        // queued when it goes is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, id, files] { OnCollected(id, files); }, Qt::QueuedConnection);
    });
}

void WindowIntake::OnCollected(quint64 id, const QStringList& files) {
    bCollecting_ = false;
    if (requests_.empty() || requests_.front().id != id) {
        return;
    }
    requests_.front().files = files;
    requests_.front().bCollected = true;
    TakeCollected();
}

void WindowIntake::TakeCollected() {
    while (!bHeld_ && !requests_.empty() && requests_.front().bCollected) {
        const Request request = std::move(requests_.front());
        requests_.pop_front();
        if (window_.take) {
            window_.take(request.files);
        }
        if (modBackup::SaveBackupList()) {
            server_->Answer(request.id, ResultCode::Done);
        } else {
            server_->Answer(request.id, ResultCode::NotStored, modBackup::StoreProblemText());
        }
    }
    StartCollecting();
}

void WindowIntake::JoinWorker() {
    if (worker_.joinable()) {
        worker_.join();
    }
}
