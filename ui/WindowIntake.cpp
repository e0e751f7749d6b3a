#include "ui/WindowIntake.h"

#include <QMetaObject>
#include <QTimer>

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

Result<void> WindowIntake::Listen() {
    return server_->Listen();
}

void WindowIntake::Hold(bool bHold) {
    bHeld_ = bHold;
    AdvanceLater();
}

void WindowIntake::Close() {
    JoinWorker();
    for (Request& request : requests_) {
        if (request.stage == Stage::Storing) {
            Answer(request);  // its list is stored (or not) by now
        } else {
            server_->Answer(request.id, ResultCode::Closing);
        }
    }
    requests_.clear();
    server_->Close();
}

void WindowIntake::OnAdd(quint64 id, const QString& sWorkingFolder, const QStringList& tokens) {
    Request request;
    request.id = id;
    request.sWorkingFolder = sWorkingFolder;
    request.tokens = tokens;
    requests_.push_back(std::move(request));
    AdvanceLater();
}

void WindowIntake::OnWorkerDone(quint64 id) {
    if (requests_.empty() || requests_.front().id != id) {
        return;  // answered by Close
    }
    JoinWorker();
    Request& request = requests_.front();
    request.stage = request.stage == Stage::Collecting ? Stage::Taking : Stage::Stored;
    AdvanceLater();
}

void WindowIntake::AdvanceLater() {
    if (bAdvanceQueued_) {
        return;
    }
    bAdvanceQueued_ = true;
    // A timer, not a posted call: the window's other events get their turn in between.
    QTimer::singleShot(0, this, [this] {
        bAdvanceQueued_ = false;
        Advance();
    });
}

void WindowIntake::Advance() {
    if (requests_.empty()) {
        return;
    }
    Request& request = requests_.front();
    switch (request.stage) {
        case Stage::Waiting: {
            // The store is read here, on the window's thread; the worker touches nothing shared.
            // Files alone need no filters, so they arrive even while the store cannot be read.
            modBackup::FolderScanFilters filters;
            if (modBackup::AnyFolder(request.tokens, request.sWorkingFolder)) {
                const Result<modBackup::FolderScanFilters> loaded =
                    modBackup::LoadFolderScanFilters();
                if (!loaded) {
                    request.sProblem = loaded.Reason();
                    request.stage = Stage::Stored;
                    break;
                }
                filters = *loaded;
            }
            request.stage = Stage::Collecting;
            StartWorker(request.id, [&request, filters = std::move(filters)] {
                std::unique_ptr<CListString> files;
                request.sNote = modBackup::CollectIntakeFiles(
                                    request.tokens, request.sWorkingFolder, filters, files)
                                    .join(u'\n');
                request.files = modBackup::ListValues(files.get());
            });
            return;
        }
        case Stage::Taking:
            if (bHeld_) {
                return;  // Hold(false) asks again
            }
            if (window_.take) {
                window_.take(request.files.mid(request.taken, kFilesPerTurn));
            }
            request.taken += kFilesPerTurn;
            if (request.taken >= request.files.size()) {
                request.files.clear();
                request.stage = Stage::Taken;
            }
            break;
        case Stage::Taken: {
            if (bHeld_) {
                return;
            }
            if (window_.check) {
                window_.check();
            }
            request.stage = Stage::Storing;
            request.bUnread = window_.listUnread && window_.listUnread();
            StartWorker(
                request.id,
                [&request, paths = modBackup::ListValues(modBackup::State().BackupFiles.get())] {
                    QStringList toStore = paths;
                    if (request.bUnread) {
                        const Result<QStringList> stored = modBackup::ReadStoredBackupList();
                        if (!stored) {
                            request.sProblem =
                                stored.Reason() +
                                QStringLiteral(
                                    "; die gespeicherte Liste kann nicht gelesen werden, darum "
                                    "behält das offene Fenster die Dateien und speichert sie "
                                    "erst mit ihr zusammen");
                            return;
                        }
                        request.stored = *stored;
                        toStore = modBackup::MergedWithStored(*stored, paths);
                    }
                    const Result<void> saved = modBackup::SaveBackupListOf(toStore);
                    request.bStored = saved.Ok();
                    request.sProblem = saved.Reason();
                });
            return;
        }
        case Stage::Stored:
            if (request.bUnread && request.stored && window_.takeStored) {
                window_.takeStored(*request.stored);
            }
            Answer(request);
            requests_.pop_front();
            break;
        default:
            return;  // the worker is busy
    }
    AdvanceLater();
}

void WindowIntake::Answer(Request& request) {
    if (request.bStored) {
        server_->Answer(request.id, ResultCode::Done, request.sNote);
    } else {
        server_->Answer(request.id, ResultCode::NotStored, request.sProblem);
    }
}

void WindowIntake::StartWorker(quint64 id, std::function<void()> work) {
    JoinWorker();
    worker_ = std::thread([this, id, work = std::move(work)] {
        work();
        // The destructor joins this thread, so the object outlives the call; a notice still
        // queued when it goes is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, id] { OnWorkerDone(id); }, Qt::QueuedConnection);
    });
}

void WindowIntake::JoinWorker() {
    if (worker_.joinable()) {
        worker_.join();
    }
}
