#include "app/ArchiveName.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <QDir>

#include "app/BackupRun.h"
#include "app/FileSystem.h"
#include "app/NativePath.h"
#include "platform/StoreFile.h"

namespace ArchiveName {

namespace {

constexpr int kLastNumber = 9999;
constexpr qsizetype kMaxNameBytes = 255;
// Names taken by others between the look and the rename; more in a row means something is wrong.
constexpr int kMoveAttempts = 20;

bool Taken(const QString& sPath) {
    struct stat info {};
    return ::lstat(NativePath(sPath).constData(), &info) == 0;
}

// The path up to its extension, and the extension with its dot; a name that starts with its only
// dot has none.
std::pair<QString, QString> SplitExtension(const QString& sPath) {
    const qsizetype nameStart = sPath.lastIndexOf(u'/') + 1;
    qsizetype dot = sPath.lastIndexOf(u'.');
    if (dot <= nameStart) {
        dot = sPath.size();
    }
    return {sPath.left(dot), sPath.mid(dot)};
}

QByteArray WorkSuffix() {
    return '.' + QByteArray::number(::geteuid()) + ".unfertig";
}

bool IsWorkName(QByteArrayView name, const QByteArray& suffix) {
    return name.size() > suffix.size() + 1 && name.startsWith('.') && name.endsWith(suffix);
}

bool IsMissingDefaultFolder(const QString& sFull) {
    struct stat info {};
    return sFull == FullPath(DefaultFolder()) &&
           ::lstat(NativePath(sFull).constData(), &info) != 0 && errno == ENOENT;
}

}  // namespace

QString DefaultFolder() {
    return QDir::homePath() + QStringLiteral("/Sicherungen");
}

Result<void> MakeDefaultFolder(const QString& sFolder) {
    const QString sFull = FullPath(sFolder);
    if (IsMissingDefaultFolder(sFull) && ::mkdir(NativePath(sFull).constData(), 0700) != 0 &&
        errno != EEXIST) {
        return Failure{SystemReason(errno)};
    }
    return {};
}

Result<void> FolderReady(const QString& sFolder, bool bMake) {
    const QString sFull = FullPath(sFolder);
    if (!bMake && IsMissingDefaultFolder(sFull)) {
        return BackupRun::FolderWritable(FileSystemObject::GetParentFolderName(sFull));
    }
    if (Result<void> made = MakeDefaultFolder(sFull); !made) {
        return made;
    }
    return BackupRun::FolderWritable(sFull);
}

QString Proposed(const QString& sFolder, const QDateTime& dtNow) {
    return FileSystemObject::BuildPath(
        sFolder, dtNow.toString(QStringLiteral("yyyyMMdd_HHmm")) + QStringLiteral(" Backup.zip"));
}

QString FirstFree(const QString& sPath) {
    if (!Taken(sPath)) {
        return sPath;
    }
    const auto [sStem, sExtension] = SplitExtension(sPath);
    for (int n = 2; n <= kLastNumber; ++n) {
        const QString sCandidate = QStringLiteral("%1 (%2)%3").arg(sStem).arg(n).arg(sExtension);
        if (!Taken(sCandidate)) {
            return sCandidate;
        }
    }
    return QString();
}

QString NoneFreeText(const QString& sPath) {
    return QStringLiteral("Neben „%1“ ist kein Name mehr frei.").arg(DisplayPath(sPath));
}

QString Damaged(const QString& sPath) {
    const auto [sStem, sExtension] = SplitExtension(sPath);
    return sStem + QStringLiteral(" (fehlerhaft)") + sExtension;
}

QString WorkName(const QString& sPath) {
    const qsizetype nameStart = sPath.lastIndexOf(u'/') + 1;
    QByteArray name = NativePath(sPath.mid(nameStart));
    const QByteArray suffix = WorkSuffix();
    const qsizetype room = kMaxNameBytes - 1 - suffix.size();
    if (name.size() > room) {
        qsizetype cut = room;
        // Not inside a character: a cut name still reads as the archive's.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.truncate(cut);
    }
    return sPath.left(nameStart) + PathFromNative('.' + name + suffix);
}

int RemoveLeftoverWork(const QString& sFolder) {
    DIR* listing = ::opendir(NativePath(sFolder.isEmpty() ? QStringLiteral(".") : sFolder));
    if (listing == nullptr) {
        return 0;
    }
    const QByteArray suffix = WorkSuffix();
    const int folderFd = ::dirfd(listing);
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (!IsWorkName(entry->d_name, suffix)) {
            continue;
        }
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) && info.st_uid == ::geteuid() &&
            ::unlinkat(folderFd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(listing);
    return removed;
}

int MoveToFreeName(const QString& sFrom, const QString& sWanted, QString* sUsed) {
    const QByteArray from = NativePath(sFrom);
    for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
        const QString sCandidate = FirstFree(sWanted);
        if (sCandidate.isEmpty()) {
            return EEXIST;
        }
        const QByteArray to = NativePath(sCandidate);
        const int error = StoreFile::RenameNoReplace(from.constData(), to.constData()) ? 0 : errno;
        if (error == 0) {
            *sUsed = sCandidate;
            return 0;
        }
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

}  // namespace ArchiveName
