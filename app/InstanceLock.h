#pragma once
// The single window's lock and the private folder it lives in (SingleInstance.h tells the whole).
// The window holds the lock for as long as it lives; an intake that finds no window holds it while
// it works on the store; sondrel-backup holds it for its whole run, and with it a second lock that
// tells a waiting start to wait as long as the backup takes.
//
// The folder has mode 0700: $XDG_RUNTIME_DIR/tarvello; where that variable is unset
// /run/user/<uid>/tarvello when the system made that folder for the user. Where that folder cannot
// be used (not the user's alone, or too long a path for the socket), it is
// $XDG_STATE_HOME/tarvello/run instead; every start makes the same choice.

#include <QString>
#include <utility>

#include "app/Result.h"

namespace SingleInstance {

/// The private folder, created when missing. Fails (a line for each folder tried) when none can
/// be made or is the user's own (a link, another owner, open to others), or none leaves room for
/// the socket's name.
Result<QString> Folder();
/// The socket's path in that folder.
Result<QString> SocketPath();

/// The lock of the window, of an intake working on the store and of sondrel-backup's run.
inline const QString kWindowLockFile = QStringLiteral("sondrel.lock");
/// Held by sondrel-backup for its whole run besides the window's lock: a start that finds the
/// window's lock taken waits for as long as this one is held, however long the backup takes.
inline const QString kBackupLockFile = QStringLiteral("sondrel-backup.lock");

/// A lock file in the private folder. Released by the destructor, and by the system when the
/// process ends.
class Lock {
public:
    explicit Lock(QString sFileName = kWindowLockFile) : sFileName_(std::move(sFileName)) {}
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    /// Never waits. True when this lock holds the file now, false when another does; fails when
    /// the folder or the lock file cannot be used.
    Result<bool> TryAcquire();
    bool Held() const { return fd_ >= 0; }

    /// True when another lock holds that file. Never takes the lock, so it never keeps its holder
    /// from taking it.
    static bool HeldElsewhere(const QString& sFileName);

private:
    QString sFileName_;
    int fd_ = -1;
};

/// True while a sondrel-backup of this user runs.
inline bool BackupRunning() {
    return Lock::HeldElsewhere(kBackupLockFile);
}

}  // namespace SingleInstance
