#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QStringList>
#include <cerrno>

#include "app/FileSystem.h"
#include "app/NativePath.h"

namespace SingleInstance {

namespace {

// sockaddr_un holds 108 bytes with the terminating zero.
constexpr qsizetype kMaxSocketPath = 107;

const QString kSocketName = QStringLiteral("sondrel.socket");

// The folders the lock and the socket may live in, best first: the user's runtime folder (the
// variable's, else the one the system makes at login, so that a job started by cron still meets
// the window), then a folder under the user's own state folder. A shared temporary folder is
// never used: another user could take the name there first.
QStringList CandidateFolders() {
    QStringList folders;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        folders.append(runtime + QStringLiteral("/tarvello"));
    } else {
        const QString login = QStringLiteral("/run/user/") + QString::number(::getuid());
        struct stat st {};
        if (::lstat(NativePath(login).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == ::getuid()) {
            folders.append(login + QStringLiteral("/tarvello"));
        }
    }
    folders.append(StateFolder() + QStringLiteral("/run"));
    return folders;
}

// Makes the folder (and what is missing above it) and checks that it is this user's alone and
// that a socket in it can be named.
Result<void> MakePrivateFolder(const QString& folder) {
    const QByteArray native = NativePath(folder);
    const QByteArray socket = NativePath(folder + u'/' + kSocketName);
    if (socket.size() > kMaxSocketPath) {
        return Failure{
            QStringLiteral("Der Pfad „%1“ ist für eine Socket-Datei zu lang (höchstens %2 Bytes).")
                .arg(DisplayPath(PathFromNative(socket)))
                .arg(kMaxSocketPath)};
    }
    for (qsizetype slash = native.indexOf('/', 1); slash > 0;
         slash = native.indexOf('/', slash + 1)) {
        ::mkdir(native.left(slash).constData(), 0700);
    }
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return Failure{QStringLiteral("Der Ordner „%1“ kann nicht angelegt werden: %2")
                           .arg(DisplayPath(folder), SystemReason(errno))};
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0077) != 0) {
        return Failure{
            QStringLiteral(
                "Der Ordner „%1“ gehört nicht allein diesem Benutzer (er muss ihm gehören und "
                "die Rechte 0700 haben).")
                .arg(DisplayPath(folder))};
    }
    return {};
}

}  // namespace

Result<QString> Folder() {
    QStringList problems;
    for (const QString& folder : CandidateFolders()) {
        const Result<void> made = MakePrivateFolder(folder);
        if (made) {
            return folder;
        }
        problems.append(made.Reason());
    }
    return Failure{problems.join(u'\n')};
}

Result<QString> SocketPath() {
    const Result<QString> folder = Folder();
    if (!folder) {
        return folder;
    }
    return *folder + u'/' + kSocketName;
}

namespace {

// Locks of the open file description (not of the process), so that a lock is released when its
// one descriptor closes, and so that another can look at it without taking it.
struct flock WholeFile(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

}  // namespace

Lock::~Lock() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing releases the lock
    }
}

Result<bool> Lock::TryAcquire() {
    if (fd_ >= 0) {
        return true;
    }
    const Result<QString> folder = Folder();
    if (!folder) {
        return Failure{folder.Reason()};
    }
    const QString path = *folder + u'/' + sFileName_;
    // Close-on-exec: a program started from the window must not keep the lock after it.
    const int fd =
        ::open(NativePath(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return Failure{QStringLiteral("Die Datei „%1“ kann nicht geöffnet werden: %2")
                           .arg(DisplayPath(path), SystemReason(errno))};
    }
    struct flock range = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES) {
            return false;
        }
        return Failure{QStringLiteral("Die Datei „%1“ kann nicht gesperrt werden: %2")
                           .arg(DisplayPath(path), SystemReason(error))};
    }
    fd_ = fd;
    return true;
}

bool Lock::HeldElsewhere(const QString& sFileName) {
    const Result<QString> folder = Folder();
    if (!folder) {
        return false;
    }
    const int fd = ::open(NativePath(*folder + u'/' + sFileName).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;  // never made: never held
    }
    struct flock range = WholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

}  // namespace SingleInstance
