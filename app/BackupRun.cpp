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
#include "app/OwnFiles.h"
#include "app/WipeText.h"
#include "app/modBackup.h"
#include "list/CListString.h"
#include "platform/archivemarks/ArchiveMarkStore.h"
#include "platform/zipengine/zip32.h"

#include "zipcomponent/CZIP.h"

namespace {

// The archive's names are taken relative to the file system's root.
constexpr const char* kRootPath = "/";
// A message box stays readable: longer lists are cut with a count of the rest.
constexpr qsizetype kMaxListedFiles = 20;
constexpr qsizetype kMaxListedMessages = 30;

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
    ArchiverSink(std::function<void(const std::string&)> onFileAdded_,
                 std::function<void(int32_t, int32_t)> onVerifyProgress_)
        : onFileAdded_(std::move(onFileAdded_)), onVerifyProgress_(std::move(onVerifyProgress_)) {}
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
    : settings_(std::move(settings)),
      onFileAdded_(std::move(onFileAdded)),
      pumpEvents_(std::move(pumpEvents)) {}

BackupRun::~BackupRun() {
    DropWork();
    WipeText(settings_.sPassword);
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
    onVerifyProgress_ = std::move(handler);
}

QString BackupRun::PasswordToUse(const QString& sPassword0, const QString& sPassword1) {
    return sPassword0 == sPassword1 ? sPassword0 : QString();
}

Result<void> BackupRun::Run(CListString* files) {
    // Taken before anything is handed over: a file changed from now on is found by the next
    // change search and keeps its archive mark.
    dtStarted_ =
        settings_.dtStartedAt.isValid() ? settings_.dtStartedAt : QDateTime::currentDateTime();
    bSucceeded_ = false;
    sFinalPath_.clear();

    // Whatever way the run ends, the password does not stay behind in the archiver or the engine.
    struct ForgetPassword {
        ~ForgetPassword() { CZIP::ForgetPassword(); }
    } forgetPassword;
    if (files == nullptr || files->Count() == 0) {
        return Fail({QStringLiteral("Die Backup-Liste ist leer.")});
    }
    QByteArray utf8 = settings_.sPassword.toUtf8();
    const qsizetype lPasswordBytes = utf8.size();
    WipeBytes(utf8);
    if (settings_.eEncryption == modBackup::EncryptionMethod::AES256 &&
        lPasswordBytes > kMaxAesPasswordBytes) {
        return Fail({QStringLiteral("Das Passwort ist länger als %1 Byte; 7-Zip könnte das mit "
                                    "AES-256 verschlüsselte Archiv nicht öffnen.")
                         .arg(kMaxAesPasswordBytes)});
    }
    if (settings_.sArchivePath.isEmpty()) {
        return Fail({QStringLiteral("Es ist kein Archiv angegeben.")});
    }

    CListString& list = *files;
    entries_.reserve(static_cast<size_t>(list.Count()));
    for (list.MoveFirst(); !list.EOL(); list.MoveNext()) {
        Entry entry;
        entry.sPath = list.Data();
        entry.stateAtStart = SignatureOfFile(entry.sPath);
        lBytesTotal_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
        entries_.push_back(std::move(entry));
    }
    list.MoveFirst();
    entryOfName_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        entryOfName_.emplace(NativePath(entries_[i].sPath).toStdString(), i);
    }
    lFilesTotal_ = static_cast<int32_t>(entries_.size());
    lFilesDone_ = 0;

    if (const QString sProblem = BeginWork(); !sProblem.isEmpty()) {
        return Fail({sProblem});
    }
    QStringList reasons;
    int32_t lFailedResult = 0;
    int32_t lLastResult = 0;
    bool bArchiveWritten = true;
    for (size_t first = 0; first < entries_.size(); first += kFilesPerRun) {
        const size_t last = std::min(entries_.size(), first + kFilesPerRun);
        lLastResult = RunArchiver(first, last, settings_.bGrowExisting || first > 0);
        if (Hooks().afterArchiverRun) {
            Hooks().afterArchiverRun(sWorkPath_);
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
    if (!bArchiveWritten || ::stat(NativePath(sWorkPath_).constData(), &archive) != 0 ||
        !S_ISREG(archive.st_mode)) {
        reasons.append(QStringLiteral("Das Archiv „%1“ konnte nicht geschrieben werden: %2")
                           .arg(DisplayPath(settings_.sArchivePath), ArchiveProblem(lLastResult)));
    }
    if (!sAddFileError_.isEmpty()) {
        reasons.append(sAddFileError_);
    }
    QStringList unread;
    for (const Entry& entry : entries_) {
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
    if (!reasons.isEmpty() && !engineMessages_.isEmpty()) {
        reasons.append(QStringLiteral("Meldungen des ZIP-Dienstes:\n") +
                       CappedLines(engineMessages_, kMaxListedMessages));
    }
    // Nothing is forgotten on the word of the writer alone.
    if (reasons.isEmpty()) {
        if (const QString sDamage = VerifyArchive(); !sDamage.isEmpty()) {
            return Fail({sDamage, KeepDamagedWork()});
        }
        if (const QString sProblem = PublishWork(); !sProblem.isEmpty()) {
            reasons.append(sProblem);
        }
    }
    if (!reasons.isEmpty()) {
        DropWork();
        return Fail(reasons);
    }
    bSucceeded_ = true;
    return {};
}

int32_t BackupRun::RunArchiver(size_t first, size_t last, bool bGrow) {
    ArchiverSink sink([this](const std::string& sFilename) { FileAdded(sFilename); },
                      [](int32_t, int32_t) {});
    int32_t lResult = ZP_OK;
    {
        // One archiver per run; a new one starts with fresh options, so each is set up whole.
        CZIP ZIP;
        ZIP.SetEventListener(&sink);
        ZIP.SetZIPFilePath(NativePath(sWorkPath_).toStdString());
        // The password is typed or read as UTF-8 text, never escaped bytes.
        if (!settings_.sPassword.isEmpty()) {
            QByteArray utf8 = settings_.sPassword.toUtf8();
            std::string sPassword(utf8.constData(), static_cast<size_t>(utf8.size()));
            ZIP.SetZIPPassword(sPassword);
            platform::wipe(sPassword);
            WipeBytes(utf8);
        }
        ZIP.SetZIPEncryption(settings_.eEncryption == modBackup::EncryptionMethod::ZIP20
                                 ? ZIPEncryptionMethod::Traditional
                                 : ZIPEncryptionMethod::AES256);
        ZIP.SetZIPComment(NativePath(settings_.sComment).toStdString());
        try {
            for (size_t i = first; i < last; ++i) {
                // The engine opens and names each file by its bytes, also those that are not
                // UTF-8.
                ZIP.AddFile(NativePath(entries_[i].sPath).toStdString());
                entries_[i].bHanded = true;
                Yield();
            }
        } catch (const RuntimeError& e) {
            sAddFileError_ = QStringLiteral("Fehler %1 (%2): %3")
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
            engineMessages_.append(sLine.trimmed());
            if (engineMessages_.last().startsWith(QStringLiteral("Hinweis: ")) &&
                !notes_.contains(engineMessages_.last())) {
                notes_.append(engineMessages_.last());
            }
        }
        ZIP.SetEventListener(nullptr);
    }
    return lResult;
}

void BackupRun::FileAdded(const std::string& sFilename) {
    const auto it = entryOfName_.find(sFilename);
    if (it != entryOfName_.end() && !entries_[it->second].bReported) {
        Entry& entry = entries_[it->second];
        entry.bReported = true;
        lBytesDone_ += entry.stateAtStart ? entry.stateAtStart->size : 0;
    }
    ++lFilesDone_;
    const auto fPercent =
        static_cast<float>(static_cast<double>(lFilesDone_) * 100.0 / lFilesTotal_);
    if (onFileAdded_) {
        onFileAdded_(DisplayPath(PathFromNative(sFilename)), fPercent);
    }
    Yield();
}

QString BackupRun::BeginWork() {
    const QString sFolder = FileSystemObject::GetParentFolderName(settings_.sArchivePath);
    ArchiveName::RemoveLeftoverWork(sFolder);
    sWorkPath_ = ArchiveName::WorkName(settings_.sArchivePath);
    RegisterWorkFile(sWorkPath_);
    if (!settings_.bGrowExisting) {
        return QString();
    }
    // The engine grows the work name by writing a new file there, so the existing archive's own
    // file stays untouched until the grown one replaces it.
    const QByteArray existing = NativePath(settings_.sArchivePath);
    const QByteArray work = NativePath(sWorkPath_);
    if (!Hooks().bNoHardLinks) {
        if (::link(existing.constData(), work.constData()) == 0 || errno == ENOENT) {
            return QString();  // a file gone meanwhile: growing it makes a new one
        }
    }
    if (const int error = CopyArchive(existing, work); error != 0) {
        DropWork();
        return QStringLiteral("Das Archiv „%1“ kann nicht ergänzt werden: %2")
            .arg(DisplayPath(settings_.sArchivePath), SystemReason(error));
    }
    return QString();
}

QString BackupRun::PublishWork() {
    int error = 0;
    if (settings_.bGrowExisting) {
        // The grown archive replaces the one it grew, in one step.
        if (::rename(NativePath(sWorkPath_).constData(),
                     NativePath(settings_.sArchivePath).constData()) == 0) {
            sFinalPath_ = settings_.sArchivePath;
        } else {
            error = errno;
        }
    } else {
        error = ArchiveName::MoveToFreeName(sWorkPath_, settings_.sArchivePath, &sFinalPath_);
    }
    if (error == EEXIST && !settings_.bGrowExisting) {
        return ArchiveName::NoneFreeText(settings_.sArchivePath);
    }
    if (error != 0) {
        return QStringLiteral("Das Archiv konnte nicht unter dem Namen „%1“ abgelegt werden: %2")
            .arg(DisplayPath(settings_.sArchivePath), SystemReason(error));
    }
    RegisterWorkFile(QString());
    sWorkPath_.clear();
    // So that no later scan takes it; an archive not remembered is still known by its name.
    OwnFiles::Remember(sFinalPath_);
    // The name is on the disk before the after-effects forget anything.
    const QString sFolder = FileSystemObject::GetParentFolderName(sFinalPath_);
    if (const int syncError = SyncFolder(sFolder.isEmpty() ? QStringLiteral(".") : sFolder);
        syncError != 0) {
        return QStringLiteral("Der Ordner des Archivs „%1“ konnte nicht gesichert werden: %2")
            .arg(DisplayPath(sFinalPath_), SystemReason(syncError));
    }
    return QString();
}

QString BackupRun::KeepDamagedWork() {
    QString sKept;
    if (ArchiveName::MoveToFreeName(sWorkPath_, ArchiveName::Damaged(settings_.sArchivePath),
                                    &sKept) != 0) {
        // Left under the work name: the next run into the folder removes it.
        sKept = sWorkPath_;
    }
    RegisterWorkFile(QString());
    sWorkPath_.clear();
    sFinalPath_ = sKept;
    OwnFiles::Remember(sKept);
    return QStringLiteral("Das fehlerhafte Archiv liegt zur Ansicht unter „%1“.")
        .arg(DisplayPath(sKept));
}

void BackupRun::DropWork() {
    if (sWorkPath_.isEmpty()) {
        return;
    }
    RegisterWorkFile(QString());
    ::unlink(NativePath(sWorkPath_).constData());
    sWorkPath_.clear();
}

QString BackupRun::ShownEngineText(QByteArray text) const {
    if (!sWorkPath_.isEmpty()) {
        text.replace(NativePath(sWorkPath_), NativePath(settings_.sArchivePath));
    }
    return DisplayPath(PathFromNative(text));
}

QString BackupRun::VerifyArchive() {
    if (Hooks().beforeVerify) {
        Hooks().beforeVerify(sWorkPath_);
    }
    if (Hooks().bSkipVerify) {
        return QString();
    }
    ArchiverSink sink([](const std::string&) {},
                      [this](int32_t lDone, int32_t lTotal) {
                          if (onVerifyProgress_) {
                              onVerifyProgress_(lDone, lTotal);
                          }
                          Yield();
                      });
    CZIP ZIP;
    ZIP.SetEventListener(&sink);
    ZIP.SetZIPFilePath(NativePath(sWorkPath_).toStdString());
    ZIPVerifyProblem problem;
    if (ZIP.VerifyZIP(&problem) == ZP_OK) {
        return QString();
    }
    return QStringLiteral("Das Archiv ist fehlerhaft: %1: %2")
        .arg(ShownEngineText(QByteArray::fromStdString(problem.sEntry)),
             ShownEngineText(QByteArray::fromStdString(problem.sReason)));
}

void BackupRun::Yield() {
    if (pumpEvents_ && (!pumpClock_.isValid() || pumpClock_.hasExpired(kPumpIntervalMs))) {
        pumpEvents_();
        pumpClock_.start();
    }
}

QString BackupRun::ArchiveProblem(int32_t lLastResult) const {
    // The place of the archive is checked first: its reason is the system's own.
    const QString sPath = settings_.sArchivePath;
    const QByteArray native = NativePath(sPath);
    struct stat st {};
    if (!sPath.isEmpty() && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return SystemReason(EISDIR);
    }
    const QString sFolder = FileSystemObject::GetParentFolderName(sPath);
    const Result<void> writable = FolderWritable(sFolder.isEmpty() ? QStringLiteral(".") : sFolder);
    if (!writable) {
        return writable.Reason();
    }
    if (lLastResult == ZP_OK && engineMessages_.isEmpty() && sAddFileError_.isEmpty()) {
        return QStringLiteral("der ZIP-Dienst libzip32.so ist nicht erreichbar");
    }
    return QStringLiteral("siehe die Meldungen des ZIP-Dienstes");
}

Result<void> BackupRun::FolderWritable(const QString& sFolder) {
    const QByteArray folder = NativePath(sFolder);
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0) {
        return Failure{SystemReason(errno)};
    }
    if (!S_ISDIR(st.st_mode)) {
        return Failure{SystemReason(ENOTDIR)};
    }
    if (::access(folder.constData(), W_OK | X_OK) != 0) {
        return Failure{SystemReason(errno)};
    }
    return {};
}

QString BackupRun::CappedLines(const QStringList& lines, qsizetype lMax) {
    QStringList shown = lines.mid(0, lMax);
    if (lines.size() > lMax) {
        shown.append(QStringLiteral("… und %1 weitere").arg(lines.size() - lMax));
    }
    return shown.join(u'\n');
}

const QString BackupRun::kSameDiskHint = QStringLiteral(
    "Hinweis: Das Archiv liegt auf demselben Datenträger wie gesicherte Dateien; fällt er aus, "
    "sind beide verloren.");

bool BackupRun::OnSameDisk(const QString& sFolder, const QStringList& paths) {
    // A folder the backup is still to make lies where its nearest existing parent lies.
    struct stat folder {};
    QString sExisting = sFolder;
    while (::stat(NativePath(sExisting).constData(), &folder) != 0) {
        sExisting = FileSystemObject::GetParentFolderName(sExisting);
        if (sExisting.isEmpty()) {
            return false;
        }
    }
    for (const QString& sPath : paths) {
        struct stat file {};
        if (::stat(NativePath(sPath).constData(), &file) == 0 && file.st_dev == folder.st_dev) {
            return true;
        }
    }
    return false;
}

QString BackupRun::FailedBecause(const QString& sReason) {
    return QStringLiteral("Das Backup ist fehlgeschlagen.\n\n") + sReason;
}

Failure BackupRun::Fail(const QStringList& reasons) {
    bSucceeded_ = false;
    return Failure{reasons.join(u"\n\n")};
}

QStringList BackupRun::ArchivedPaths() const {
    QStringList paths;
    for (const Entry& entry : entries_) {
        if (entry.bReported) {
            paths.append(entry.sPath);
        }
    }
    return paths;
}

Result<void> BackupRun::ApplyAfterEffects(const ListEmptier& emptyList) {
    if (!bSucceeded_) {
        return Failure{QStringLiteral("Nach einem fehlgeschlagenen Backup wird nichts geändert.")};
    }
    QStringList problems;
    if (settings_.bAdjustLastBackupDate) {
        if (const Result<void> stored = modBackup::WriteLastBackupAt(dtStarted_); !stored) {
            problems.append(
                QStringLiteral("Das Datum des letzten Backups konnte nicht gespeichert werden: %1")
                    .arg(stored.Reason()));
        }
    }
    if (settings_.bClearArchiveFlag) {
        FileSystemObject& fso = modBackup::State().FSO;
        int lNotCleared = 0;
        fso.Marks().BeginBatch();
        for (const Entry& entry : entries_) {
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
            lNotCleared = static_cast<int>(entries_.size());
        }
        if (lNotCleared > 0) {
            problems.append(
                QStringLiteral("Die Archiv-Markierungen der gesicherten Dateien konnten "
                               "nicht (alle) gelöscht werden; sie bleiben gesetzt."));
        }
    }
    if (settings_.bClearList && emptyList) {
        if (const Result<void> emptied = emptyList(); !emptied) {
            problems.append(QStringLiteral("Die Dateiliste konnte nicht geleert werden: %1")
                                .arg(emptied.Reason()));
        }
    }
    if (!problems.isEmpty()) {
        return Failure{problems.join(u'\n')};
    }
    return {};
}
