#include "app/BackupRun.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "app/ArchiveName.h"
#include "app/NativePath.h"
#include "app/modBackup.h"
#include "list/CListString.h"
#include "platform/SystemReason.h"
#include "platform/archivemarks/ArchiveMarkStore.h"
#include "platform/zipengine/zip32.h"

#include "zipcomponent/CZIP.h"

namespace {

// The archive's names are taken relative to the file system's root.
constexpr const char* kRootPath = "/";
// A message box stays readable: longer lists are cut with a count of the rest.
constexpr qsizetype kMaxListedFiles = 20;
constexpr qsizetype kMaxListedMessages = 30;

QString SystemReason(int error) {
    return QString::fromStdString(platform::systemReason(error));
}

BackupRun::TestHooks& Hooks() {
    static BackupRun::TestHooks hooks;
    return hooks;
}

QString EngineCodeText(int32_t lResult) {
    switch (lResult) {
        case ZP_ERR_NOTHING_TO_DO:
            return QStringLiteral("keine Dateien übergeben");
        case ZP_ERR_FILE_READ:
            return QStringLiteral("Dateien übersprungen");
        case ZP_ERR_ARCHIVE_WRITE:
            return QStringLiteral("Archiv nicht geschrieben");
        case ZP_ERR_ARCHIVE_DAMAGED:
            return QStringLiteral("vorhandenes Archiv nicht lesbar");
        case ZP_ERR_PARAMETER:
            return QStringLiteral("ungültige Angaben");
        case ZP_ERR_MEMORY:
            return QStringLiteral("zu wenig Arbeitsspeicher");
        default:
            return QStringLiteral("unbekannter Fehler");
    }
}

class ArchiverSink : public ICZIPEvents {
public:
    ArchiverSink(std::function<void(const std::string&)> onFileAdded,
                 std::function<void(int32_t, int32_t)> onVerifyProgress)
        : onFileAdded_(std::move(onFileAdded)), onVerifyProgress_(std::move(onVerifyProgress)) {}
    void FileAdded(const std::string& sFilename) override { onFileAdded_(sFilename); }
    void VerifyProgress(int32_t lDone, int32_t lTotal) override {
        onVerifyProgress_(lDone, lTotal);
    }

private:
    std::function<void(const std::string&)> onFileAdded_;
    std::function<void(int32_t, int32_t)> onVerifyProgress_;
};

// The work file as a signal handler may reach it: plain bytes, published by a lock-free flag.
char workFileForSignal[PATH_MAX];
std::atomic<bool> workFileRegistered{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void RegisterWorkFile(const QString& sPath) {
    workFileRegistered = false;
    const QByteArray native = NativePath(sPath);
    if (!sPath.isEmpty() && native.size() < PATH_MAX) {
        std::memcpy(workFileForSignal, native.constData(), static_cast<size_t>(native.size()) + 1);
        workFileRegistered = true;
    }
}

int SyncFolder(const QString& sFolder) {
    const int fd = ::open(NativePath(sFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

// A copy of the archive at from under the new name to, with its mode; 0 or an errno. A missing
// archive is no error: growing it makes a new one.
int CopyArchive(const QByteArray& from, const QByteArray& to) {
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    struct stat info {};
    int error = ::fstat(in, &info) == 0 ? 0 : errno;
    const int out = error != 0 ? -1
                               : ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                        info.st_mode & 07777);
    if (error == 0 && out < 0) {
        error = errno;
    }
    if (out >= 0) {
        ::fchmod(out, info.st_mode & 07777);
        bool bKernelCopy = true;
        std::vector<char> buffer;
        while (error == 0) {
            ssize_t done = -1;
            if (bKernelCopy) {
                done = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
                if (done < 0 &&
                    (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                    bKernelCopy = false;
                    continue;
                }
            } else {
                buffer.resize(size_t{1} << 20);
                done = ::read(in, buffer.data(), buffer.size());
                if (done > 0) {
                    const ssize_t put = ::write(out, buffer.data(), static_cast<size_t>(done));
                    if (put != done) {
                        error = put < 0 ? errno : ENOSPC;  // a short write sets no errno
                        break;
                    }
                }
            }
            if (done == 0) {
                break;
            }
            if (done < 0 && errno != EINTR) {
                error = errno;
            }
        }
        ::close(out);
        if (error != 0) {
            ::unlink(to.constData());
        }
    }
    ::close(in);
    return error;
}

}  // namespace

BackupRun::BackupRun(BackupSettings settings, FileAddedHandler onFileAdded, EventPump pumpEvents)
    : settings(std::move(settings)),
      onFileAdded(std::move(onFileAdded)),
      pumpEvents(std::move(pumpEvents)) {}

BackupRun::~BackupRun() {
    DropWork();
}

void BackupRun::RemoveWorkFileNow() {
    if (workFileRegistered.load()) {
        ::unlink(workFileForSignal);
    }
}

void BackupRun::SetTestHooks(TestHooks hooks) {
    Hooks() = std::move(hooks);
}

void BackupRun::SetVerifyProgressHandler(VerifyProgressHandler handler) {
    onVerifyProgress = std::move(handler);
}

QString BackupRun::PasswordToUse(const QString& sPassword0, const QString& sPassword1) {
    return sPassword0 == sPassword1 ? sPassword0 : QString();
}

bool BackupRun::Run(CListString* files) {
    // Taken before anything is handed over: a file changed from now on is found by the next
    // change search and keeps its archive mark.
    dtStarted =
        settings.dtStartedAt.isValid() ? settings.dtStartedAt : QDateTime::currentDateTime();
    bSucceeded = false;
    sFinalPath.clear();

    if (files == nullptr || files->Count() == 0) {
        Fail({QStringLiteral("Die Backup-Liste ist leer.")});
        return false;
    }
    if (settings.sArchivePath.isEmpty()) {
        Fail({QStringLiteral("Es ist kein Archiv angegeben.")});
        return false;
    }

    CListString& list = *files;
    entries.reserve(static_cast<size_t>(list.Count()));
    for (list.MoveFirst(); !list.EOL(); list.MoveNext()) {
        Entry entry;
        entry.sPath = list.Data();
        entry.stateAtStart = SignatureOfFile(entry.sPath);
        BytesTotal_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
        entries.push_back(std::move(entry));
    }
    list.MoveFirst();
    entryOfName.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        entryOfName.emplace(NativePath(entries[i].sPath).toStdString(), i);
    }
    FilesTotal_ = static_cast<int32_t>(entries.size());
    FilesDone_ = 0;

    if (const QString sProblem = BeginWork(); !sProblem.isEmpty()) {
        Fail({sProblem});
        return false;
    }
    QStringList reasons;
    int32_t lFailedResult = 0;
    int32_t lLastResult = 0;
    bool bArchiveWritten = true;
    for (size_t first = 0; first < entries.size(); first += kFilesPerRun) {
        const size_t last = std::min(entries.size(), first + kFilesPerRun);
        lLastResult = RunArchiver(first, last, settings.bGrowExisting || first > 0);
        if (Hooks().afterArchiverRun) {
            Hooks().afterArchiverRun(sWorkPath);
        }
        if (lLastResult != ZP_OK) {
            lFailedResult = lLastResult;
        }
        // Skipped files leave a written archive that the next run can still grow.
        if (lLastResult != ZP_OK && lLastResult != ZP_ERR_FILE_READ) {
            bArchiveWritten = false;
            break;
        }
    }

    struct stat archive {};
    if (!bArchiveWritten || ::stat(NativePath(sWorkPath).constData(), &archive) != 0 ||
        !S_ISREG(archive.st_mode)) {
        reasons.append(QStringLiteral("Das Archiv „%1“ konnte nicht geschrieben werden: %2")
                           .arg(DisplayPath(settings.sArchivePath), ArchiveProblem(lLastResult)));
    }
    if (!sAddFileError.isEmpty()) {
        reasons.append(sAddFileError);
    }
    QStringList unread;
    for (const Entry& entry : entries) {
        if (entry.bHanded && !entry.bReported) {
            unread.append(DisplayPath(entry.sPath));
        }
    }
    // Files of a run that wrote nothing were not refused one by one.
    if (!unread.isEmpty() && bArchiveWritten) {
        reasons.append(QStringLiteral("Diese Dateien konnten nicht gelesen werden:\n") +
                       CappedLines(unread, kMaxListedFiles));
    }
    if (lFailedResult != ZP_OK) {
        reasons.append(QStringLiteral("Der ZIP-Dienst meldete den Fehler %1 (%2).")
                           .arg(lFailedResult)
                           .arg(EngineCodeText(lFailedResult)));
    }
    if (!reasons.isEmpty() && !engineMessages.isEmpty()) {
        reasons.append(QStringLiteral("Meldungen des ZIP-Dienstes:\n") +
                       CappedLines(engineMessages, kMaxListedMessages));
    }
    // Nothing is forgotten on the word of the writer alone.
    if (reasons.isEmpty()) {
        if (const QString sDamage = VerifyArchive(); !sDamage.isEmpty()) {
            Fail({sDamage, KeepDamagedWork()});
            return false;
        }
        if (const QString sProblem = PublishWork(); !sProblem.isEmpty()) {
            reasons.append(sProblem);
        }
    }
    if (!reasons.isEmpty()) {
        DropWork();
        Fail(reasons);
        return false;
    }
    bSucceeded = true;
    sFailure.clear();
    failureReasons.clear();
    return true;
}

int32_t BackupRun::RunArchiver(size_t first, size_t last, bool bGrow) {
    ArchiverSink sink([this](const std::string& sFilename) { FileAdded(sFilename); },
                      [](int32_t, int32_t) {});
    int32_t lResult = ZP_OK;
    {
        // One archiver per run; a new one starts with fresh options, so each is set up whole.
        CZIP ZIP;
        ZIP.SetEventListener(&sink);
        ZIP.SetZIPFilePath(NativePath(sWorkPath).toStdString());
        // The password is typed or read as UTF-8 text, never escaped bytes.
        if (!settings.sPassword.isEmpty()) {
            ZIP.SetZIPPassword(settings.sPassword.toStdString());
        }
        ZIP.SetZIPComment(NativePath(settings.sComment).toStdString());
        try {
            for (size_t i = first; i < last; ++i) {
                // The engine opens and names each file by its bytes, also those that are not
                // UTF-8.
                ZIP.AddFile(NativePath(entries[i].sPath).toStdString());
                entries[i].bHanded = true;
                Yield();
            }
        } catch (const RuntimeError& e) {
            sAddFileError = QStringLiteral("Fehler %1 (%2): %3")
                                .arg(e.number())
                                .arg(QString::fromStdString(e.source()),
                                     QString::fromStdString(e.description()));
            return ZP_ERR_PARAMETER;
        }
        ZIP.SetAppendToZIP(bGrow);
        ZIP.SetZIPRootPath(kRootPath);
        lResult = ZIP.DoZip();

        // The messages belong to all archivers of the thread and go with this one.
        QByteArray text;
        for (const std::string& sPart : ZIP.Messages()->Items()) {
            text += QByteArrayView(sPart);
        }
        for (const QString& sLine : ShownEngineText(text).split(u'\n', Qt::SkipEmptyParts)) {
            engineMessages.append(sLine.trimmed());
        }
        ZIP.SetEventListener(nullptr);
    }
    return lResult;
}

void BackupRun::FileAdded(const std::string& sFilename) {
    const auto it = entryOfName.find(sFilename);
    if (it != entryOfName.end() && !entries[it->second].bReported) {
        Entry& entry = entries[it->second];
        entry.bReported = true;
        BytesDone_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
    }
    ++FilesDone_;
    const auto fPercent = static_cast<float>(static_cast<double>(FilesDone_) * 100.0 / FilesTotal_);
    if (onFileAdded) {
        onFileAdded(DisplayPath(PathFromNative(sFilename)), fPercent);
    }
    Yield();
}

QString BackupRun::BeginWork() {
    const QString sFolder = FileSystemObject::GetParentFolderName(settings.sArchivePath);
    ArchiveName::RemoveLeftoverWork(sFolder);
    sWorkPath = ArchiveName::WorkName(settings.sArchivePath);
    RegisterWorkFile(sWorkPath);
    if (!settings.bGrowExisting) {
        return QString();
    }
    // The engine grows the work name by writing a new file there, so the existing archive's own
    // file stays untouched until the grown one replaces it.
    const QByteArray existing = NativePath(settings.sArchivePath);
    const QByteArray work = NativePath(sWorkPath);
    if (!Hooks().bNoHardLinks) {
        if (::link(existing.constData(), work.constData()) == 0 || errno == ENOENT) {
            return QString();  // a file gone meanwhile: growing it makes a new one
        }
    }
    if (const int error = CopyArchive(existing, work); error != 0) {
        DropWork();
        return QStringLiteral("Das Archiv „%1“ kann nicht ergänzt werden: %2")
            .arg(DisplayPath(settings.sArchivePath), SystemReason(error));
    }
    return QString();
}

QString BackupRun::PublishWork() {
    int error = 0;
    if (settings.bGrowExisting) {
        // The grown archive replaces the one it grew, in one step.
        if (::rename(NativePath(sWorkPath).constData(),
                     NativePath(settings.sArchivePath).constData()) == 0) {
            sFinalPath = settings.sArchivePath;
        } else {
            error = errno;
        }
    } else {
        error = ArchiveName::MoveToFreeName(sWorkPath, settings.sArchivePath, &sFinalPath);
    }
    if (error == EEXIST && !settings.bGrowExisting) {
        return ArchiveName::NoneFreeText(settings.sArchivePath);
    }
    if (error != 0) {
        return QStringLiteral("Das Archiv konnte nicht unter dem Namen „%1“ abgelegt werden: %2")
            .arg(DisplayPath(settings.sArchivePath), SystemReason(error));
    }
    RegisterWorkFile(QString());
    sWorkPath.clear();
    // The name is on the disk before the after-effects forget anything.
    const QString sFolder = FileSystemObject::GetParentFolderName(sFinalPath);
    if (const int syncError = SyncFolder(sFolder.isEmpty() ? QStringLiteral(".") : sFolder);
        syncError != 0) {
        return QStringLiteral("Der Ordner des Archivs „%1“ konnte nicht gesichert werden: %2")
            .arg(DisplayPath(sFinalPath), SystemReason(syncError));
    }
    return QString();
}

QString BackupRun::KeepDamagedWork() {
    QString sKept;
    if (ArchiveName::MoveToFreeName(sWorkPath, ArchiveName::Damaged(settings.sArchivePath),
                                    &sKept) != 0) {
        // Left under the work name: the next run into the folder removes it.
        sKept = sWorkPath;
    }
    RegisterWorkFile(QString());
    sWorkPath.clear();
    sFinalPath = sKept;
    return QStringLiteral("Das fehlerhafte Archiv liegt zur Ansicht unter „%1“.")
        .arg(DisplayPath(sKept));
}

void BackupRun::DropWork() {
    if (sWorkPath.isEmpty()) {
        return;
    }
    RegisterWorkFile(QString());
    ::unlink(NativePath(sWorkPath).constData());
    sWorkPath.clear();
}

QString BackupRun::ShownEngineText(QByteArray text) const {
    if (!sWorkPath.isEmpty()) {
        text.replace(NativePath(sWorkPath), NativePath(settings.sArchivePath));
    }
    return DisplayPath(PathFromNative(text));
}

QString BackupRun::VerifyArchive() {
    if (Hooks().beforeVerify) {
        Hooks().beforeVerify(sWorkPath);
    }
    if (Hooks().bSkipVerify) {
        return QString();
    }
    ArchiverSink sink([](const std::string&) {},
                      [this](int32_t lDone, int32_t lTotal) {
                          if (onVerifyProgress) {
                              onVerifyProgress(lDone, lTotal);
                          }
                          Yield();
                      });
    CZIP ZIP;
    ZIP.SetEventListener(&sink);
    ZIP.SetZIPFilePath(NativePath(sWorkPath).toStdString());
    ZIPVerifyProblem problem;
    if (ZIP.VerifyZIP(&problem) == ZP_OK) {
        return QString();
    }
    return QStringLiteral("Das Archiv ist fehlerhaft: %1: %2")
        .arg(ShownEngineText(QByteArray::fromStdString(problem.sEntry)),
             ShownEngineText(QByteArray::fromStdString(problem.sReason)));
}

void BackupRun::Yield() {
    if (pumpEvents && (!pumpClock.isValid() || pumpClock.hasExpired(kPumpIntervalMs))) {
        pumpEvents();
        pumpClock.start();
    }
}

QString BackupRun::ArchiveProblem(int32_t lLastResult) const {
    // The place of the archive is checked first: its reason is the system's own.
    const QString sPath = settings.sArchivePath;
    const QByteArray native = NativePath(sPath);
    struct stat st {};
    if (!sPath.isEmpty() && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return SystemReason(EISDIR);
    }
    const QString sFolder = FileSystemObject::GetParentFolderName(sPath);
    const QString sFolderProblem = FolderProblem(sFolder.isEmpty() ? QStringLiteral(".") : sFolder);
    if (!sFolderProblem.isEmpty()) {
        return sFolderProblem;
    }
    if (lLastResult == ZP_OK && engineMessages.isEmpty() && sAddFileError.isEmpty()) {
        return QStringLiteral("der ZIP-Dienst libzip32.so ist nicht erreichbar");
    }
    return QStringLiteral("siehe die Meldungen des ZIP-Dienstes");
}

QString BackupRun::FolderProblem(const QString& sFolder) {
    const QByteArray folder = NativePath(sFolder);
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0) {
        return SystemReason(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return SystemReason(ENOTDIR);
    }
    if (::access(folder.constData(), W_OK | X_OK) != 0) {
        return SystemReason(errno);
    }
    return QString();
}

QString BackupRun::CappedLines(const QStringList& lines, qsizetype lMax) {
    QStringList shown = lines.mid(0, lMax);
    if (lines.size() > lMax) {
        shown.append(QStringLiteral("… und %1 weitere").arg(lines.size() - lMax));
    }
    return shown.join(u'\n');
}

QString BackupRun::FailedBecause(const QStringList& reasons) {
    return QStringLiteral("Das Backup ist fehlgeschlagen.\n\n") + reasons.join(u"\n\n");
}

void BackupRun::Fail(const QStringList& reasons) {
    bSucceeded = false;
    failureReasons = reasons;
    sFailure = FailedBecause(reasons);
}

QStringList BackupRun::ArchivedPaths() const {
    QStringList paths;
    for (const Entry& entry : entries) {
        if (entry.bReported) {
            paths.append(entry.sPath);
        }
    }
    return paths;
}

QString BackupRun::ApplyAfterEffects(const ListEmptier& emptyList) {
    if (!bSucceeded) {
        return QString();
    }
    QStringList problems;
    if (settings.bAdjustLastBackupDate && !modBackup::WriteLastBackupAt(dtStarted)) {
        problems.append(
            QStringLiteral("Das Datum des letzten Backups konnte nicht gespeichert werden: %1")
                .arg(modBackup::StoreProblemText()));
    }
    if (settings.bClearArchiveFlag) {
        FileSystemObject& fso = modBackup::State().FSO;
        int lNotCleared = 0;
        fso.Marks().BeginBatch();
        for (const Entry& entry : entries) {
            // A file changed or gone since the start keeps its mark, or is skipped.
            if (!entry.bReported || !entry.stateAtStart ||
                SignatureOfFile(entry.sPath) != entry.stateAtStart) {
                continue;
            }
            FSOFile file = fso.GetFile(entry.sPath);
            const int32_t lAttributes = file.Attributes();
            if ((lAttributes & AttrArchive) != 0 &&
                !file.SetAttributes(lAttributes - AttrArchive)) {
                ++lNotCleared;
            }
        }
        if (!fso.Marks().EndBatch()) {
            lNotCleared = static_cast<int>(entries.size());
        }
        if (lNotCleared > 0) {
            problems.append(
                QStringLiteral("Die Archiv-Markierungen der gesicherten Dateien konnten "
                               "nicht (alle) gelöscht werden; sie bleiben gesetzt."));
        }
    }
    QString sListProblem;
    if (settings.bClearList && emptyList && !emptyList(&sListProblem)) {
        problems.append(
            QStringLiteral("Die Dateiliste konnte nicht geleert werden: %1").arg(sListProblem));
    }
    return problems.join(u'\n');
}
