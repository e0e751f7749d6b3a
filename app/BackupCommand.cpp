#include "app/BackupCommand.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QThread>
#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "app/ArchiveName.h"
#include "app/BackupRun.h"
#include "app/DailySearch.h"
#include "app/DesktopNotification.h"
#include "app/NativePath.h"
#include "app/SearchSettings.h"
#include "app/SingleInstance.h"
#include "app/StateRecord.h"
#include "app/TerminalProgress.h"
#include "app/WipeText.h"
#include "app/modBackup.h"

namespace BackupCommand {

namespace {

using SingleInstance::Lock;

// How long the run waits for a window lock held by someone who does not answer yet (a window
// that is starting, an intake storing a large folder).
constexpr int kWaitForLockMs = 60000;
constexpr int kRetryMs = 50;
constexpr qsizetype kMaxListedFiles = 20;
constexpr qsizetype kMaxNotificationChars = 1000;

using CommandOutput::Write;

void Tell(const QString& sText) {
    CommandOutput::Tell("sondrel-backup", sText);
}

pthread_t mainThread;

// A stop (the timer's SIGTERM, Ctrl+C, a closed terminal) takes the unfinished archive with it.
// Only the main thread writes the archive's names, so the handler runs there: no name can appear
// between the removal and the end.
extern "C" void OnStopSignal(int signalNumber) {
    const int savedErrno = errno;
    if (!pthread_equal(pthread_self(), mainThread)) {
        pthread_kill(mainThread, signalNumber);
        errno = savedErrno;
        return;
    }
    BackupRun::RemoveWorkFileNow();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
    raise(signalNumber);  // ends the process as the signal would have, once the handler returns
    errno = savedErrno;
}

void InstallStopHandlers() {
    mainThread = pthread_self();
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

// Whether the settings store takes a write now: one that cannot be stored should stop the run
// before it writes an archive whose after-effects could not be kept.
Result<void> StoreTakesWrites() {
    modBackup::StoreTransaction transaction(true);
    return transaction.Commit();
}

// Shows on a terminal how many files the change search has added.
class FoundCounter : public modBackup::ISearchOutlet {
public:
    FoundCounter(TerminalProgress& progress, QString sFolder)
        : progress_(progress), sFolder_(std::move(sFolder)) {}
    void FileFound(const QString& /*sFile*/) override { progress_.Searching(sFolder_, ++lFound_); }
    bool bStopped() const override { return false; }

private:
    TerminalProgress& progress_;
    QString sFolder_;
    int64_t lFound_ = 0;
};

class Command {
public:
    explicit Command(Options options)
        : options_(std::move(options)), progress_(::isatty(STDERR_FILENO) == 1) {}
    ~Command() { WipeText(sPassword_); }
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    int Execute();

private:
    std::optional<int> TakeLocks();
    std::optional<int> LoadList();
    std::optional<int> Search();
    int Backup(CListString& files, const QString& sArchive);
    int DryRun(CListString& files, const QString& sArchive);
    int Fail(const QString& sReason);
    int WindowOpen();
    void Notify(const QString& sSummary, const QString& sBody) const;
    /// What the search found, to begin the run's one summary line with; empty without a search.
    QString SearchSummary() const;

    Options options_;
    std::optional<DailySearch::Found> found_;
    QString sPassword_;
    modBackup::EncryptionMethod eEncryption_ = modBackup::EncryptionMethod::AES256;
    QDateTime dtStart_;
    // Released in the reverse order: the window's lock first, so a waiting start goes on at once.
    Lock backupLock_{SingleInstance::kBackupLockFile};
    Lock windowLock_;
    TerminalProgress progress_;
};

int Command::Execute() {
    eEncryption_ = options_.encryption.value_or(modBackup::ReadEncryptionMethod());
    if (!options_.sPasswordFile.isEmpty()) {
        Result<QString> password = ReadPasswordFile(
            options_.sPasswordFile, eEncryption_ == modBackup::EncryptionMethod::AES256
                                        ? BackupRun::kMaxAesPasswordBytes
                                        : BackupRun::kMaxPasswordBytes);
        if (!password) {
            return Fail(password.Reason());
        }
        sPassword_ = *password;
    }
    if (const std::optional<int> status = TakeLocks()) {
        return *status;
    }
    // The moment the backup counts from: a file changed from now on is found by the next search.
    dtStart_ = QDateTime::currentDateTime();
    if (const std::optional<int> status = LoadList()) {
        return *status;
    }
    const bool bWritesStore = options_.bSearch || !options_.bNoStamp || !options_.bKeepList;
    if (!options_.bDryRun && bWritesStore) {
        if (const Result<void> writable = StoreTakesWrites(); !writable) {
            return Fail(QStringLiteral("Die Einstellungen können nicht gespeichert werden: %1")
                            .arg(writable.Reason()));
        }
    }
    if (options_.bSearch) {
        if (const std::optional<int> status = Search()) {
            return *status;
        }
    }
    CListString* files = modBackup::State().BackupFiles.get();
    if (files == nullptr || files->Count() == 0) {
        Tell(found_ ? DailySearch::NothingFoundText(*found_)
                    : QStringLiteral("Nichts zu sichern: Die Backup-Liste ist leer."));
        return kNothingToDo;
    }
    const QString sFolder =
        options_.sFolder.isEmpty() ? modBackup::ReadDefaultPath() : FullPath(options_.sFolder);
    if (const Result<void> writable = ArchiveName::FolderReady(sFolder, !options_.bDryRun);
        !writable) {
        return Fail(QStringLiteral("In den Zielordner „%1“ kann nicht geschrieben werden: %2")
                        .arg(DisplayPath(sFolder), writable.Reason()));
    }
    const QString sProposed = ArchiveName::Proposed(sFolder, dtStart_);
    const QString sArchive = ArchiveName::FirstFree(sProposed);
    if (sArchive.isEmpty()) {
        return Fail(ArchiveName::NoneFreeText(sProposed));
    }
    if (BackupRun::OnSameDisk(sFolder, modBackup::ListValues(files))) {
        Write(stdout, BackupRun::kSameDiskHint + u'\n');
    }
    return options_.bDryRun ? DryRun(*files, sArchive) : Backup(*files, sArchive);
}

std::optional<int> Command::TakeLocks() {
    const auto busy = [](const Result<bool>& acquired) { return acquired && !*acquired; };
    if (busy(backupLock_.TryAcquire())) {
        return Fail(QStringLiteral("Ein anderes sondrel-backup läuft schon."));
    }
    // A lock that cannot be used at all: then no window can run either (it refuses to start
    // unlocked), and the run goes on alone.
    QDeadlineTimer deadline(kWaitForLockMs);
    while (busy(windowLock_.TryAcquire())) {
        // The window may still be starting: only its greeting tells.
        if (SingleInstance::WindowInstanceRunning()) {
            return WindowOpen();
        }
        if (deadline.hasExpired()) {
            return Fail(SingleInstance::kNoAnswerText);
        }
        QThread::msleep(kRetryMs);
    }
    return std::nullopt;
}

std::optional<int> Command::LoadList() {
    QStringList vanished;
    if (const Result<void> loaded = modBackup::LoadBackupList(&vanished); !loaded) {
        return Fail(QStringLiteral("Die gespeicherte Dateiliste konnte nicht gelesen werden: %1")
                        .arg(loaded.Reason()));
    }
    if (!vanished.isEmpty()) {
        QStringList shown;
        for (const QString& sPath : vanished) {
            shown.append(DisplayPath(sPath));
        }
        Tell(QStringLiteral("Diese Dateien der Liste gibt es nicht mehr; sie werden nicht "
                            "gesichert:\n") +
             BackupRun::CappedLines(shown, kMaxListedFiles));
    }
    return std::nullopt;
}

std::optional<int> Command::Search() {
    const DailySearch::Rule rule = options_.searchRule.value_or(DailySearch::StoredRule());
    FoundCounter counter(progress_, DisplayPath(SearchSettings::Load().sSearchPath));
    // A trial run leaves even a damaged mark store where it is.
    const Result<DailySearch::Found> found = DailySearch::Run(rule, counter, !options_.bDryRun);
    progress_.Clear();
    if (!found) {
        return Fail(found.Reason());
    }
    found_ = *found;
    // A timer that runs without the window would otherwise keep the records of every file ever
    // moved or deleted. Once a day at most; one that fails loses nothing.
    if (rule == DailySearch::Rule::ArchiveMark && !options_.bDryRun) {
        DropVanishedMarks();
    }
    if (!found->sLevelNote.isEmpty()) {
        Tell(found->sLevelNote);
    }
    if (!found->sMarksProblem.isEmpty()) {
        Tell(found->sMarksProblem);
        Notify(QStringLiteral("Die Archivmarken konnten nicht verwendet werden."),
               found->sMarksProblem);
    }
    // Stored before the backup, so that a failed one leaves them listed.
    if (found->lFound > 0 && !options_.bDryRun) {
        if (const Result<void> saved = modBackup::SaveBackupList(); !saved) {
            return Fail(QStringLiteral("Die gefundenen Dateien konnten nicht in die Liste "
                                       "aufgenommen werden: %1")
                            .arg(saved.Reason()));
        }
    }
    return std::nullopt;
}

QString Command::SearchSummary() const {
    return found_ ? DailySearch::FoundText(*found_) + u' ' : QString();
}

int Command::Backup(CListString& files, const QString& sArchive) {
    BackupSettings settings;
    settings.sArchivePath = sArchive;
    settings.sPassword = sPassword_;
    settings.eEncryption = eEncryption_;
    settings.sComment =
        options_.comment.value_or(QStringLiteral("tägliches Backup von ") +
                                  dtStart_.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    settings.bAdjustLastBackupDate = !options_.bNoStamp;
    // Marks left set would make the next search by mark take these files again, and every file.
    settings.bClearArchiveFlag = modBackup::ReadFlagOption(modBackup::OptArchiveFlag, false) ||
                                 (found_ && found_->rule == DailySearch::Rule::ArchiveMark);
    settings.bClearList = !options_.bKeepList;
    settings.dtStartedAt = dtStart_;

    const BackupRun* pRun = nullptr;
    BackupRun run(
        settings,
        [this, &pRun](const QString&, float) {
            progress_.Archiving(pRun->FilesDone(), pRun->FilesTotal(), pRun->BytesDone(),
                                pRun->BytesTotal());
        },
        nullptr);
    pRun = &run;
    run.SetVerifyProgressHandler(
        [this](int32_t lDone, int32_t lTotal) { progress_.Checking(lDone, lTotal); });
    const Result<void> written = run.Run(&files);
    progress_.Clear();
    if (!written) {
        return Fail(written.Reason());
    }
    // A run without its record would let a restore take the files deleted since for present: it
    // fails, and with nothing applied the next run backs these files up again with a record.
    if (found_ && !found_->stateRecord.isEmpty()) {
        if (const Result<void> recorded = StateRecord::Write(run.ArchivePath(), found_->stateRecord,
                                                             sPassword_, eEncryption_);
            !recorded) {
            return Fail(QStringLiteral("Das Archiv „%1“ ist geschrieben und geprüft und bleibt "
                                       "erhalten, aber:\n%2")
                            .arg(DisplayPath(run.ArchivePath()), recorded.Reason()));
        }
    }
    // Only what this run archived leaves the list; nothing else can have arrived meanwhile, as
    // the lock is held, but a path that did would stay.
    const Result<void> applied = run.ApplyAfterEffects(
        [&run] { return modBackup::RemoveFromStoredBackupList(run.ArchivedPaths()); });
    const QString sWritten =
        QStringLiteral("%1, %2 MB in %3")
            .arg(GermanNumber::Files(run.FilesDone()), GermanNumber::Megabytes(run.BytesDone()),
                 DisplayPath(run.ArchivePath()));
    if (!applied) {
        const QString sText =
            QStringLiteral("%1Das Archiv ist geschrieben und geprüft (%2), aber:\n")
                .arg(SearchSummary(), sWritten) +
            applied.Reason();
        Tell(sText);
        Notify(QStringLiteral("Backup nicht vollständig abgeschlossen"), sText);
        return kFailed;
    }
    Write(stdout, SearchSummary() + sWritten + QStringLiteral(", geprüft\n"));
    return kWritten;
}

int Command::DryRun(CListString& files, const QString& sArchive) {
    FileSystemObject& fso = modBackup::State().FSO;
    QString out;
    int64_t lBytes = 0;
    const QStringList paths = modBackup::ListValues(&files);
    for (const QString& sPath : paths) {
        out += DisplayPath(sPath) + u'\n';
        lBytes += fso.FileSize(sPath).value_or(0);
    }
    out += QStringLiteral("Probelauf: %1%2, %3 MB würden in %4 gesichert; nichts wurde geändert.\n")
               .arg(SearchSummary(), GermanNumber::Files(paths.size()),
                    GermanNumber::Megabytes(lBytes), DisplayPath(sArchive));
    Write(stdout, out);
    return kWritten;
}

int Command::Fail(const QString& sReason) {
    progress_.Clear();
    Tell(BackupRun::FailedBecause(sReason));
    Notify(QStringLiteral("Das Backup ist fehlgeschlagen."), sReason);
    return kFailed;
}

int Command::WindowOpen() {
    const QString sText = QStringLiteral(
        "Das Sondrel-Fenster ist geöffnet und hält die Dateiliste; es wurde nichts gesichert und "
        "nichts geändert. Bitte das Backup im Fenster starten oder das Fenster schließen.");
    Tell(sText);
    Notify(QStringLiteral("Das Backup wurde nicht ausgeführt."), sText);
    return kWindowOpen;
}

void Command::Notify(const QString& sSummary, const QString& sBody) const {
    // A trial run is watched by whoever started it.
    if (!options_.bDryRun) {
        DesktopNotification::Notify(sSummary, sBody.left(kMaxNotificationChars));
    }
}

}  // namespace

int Run(const QStringList& args) {
    const Result<Options> options = ParseOptions(args);
    if (!options) {
        Tell(options.Reason() + QStringLiteral("\n„sondrel-backup --help“ zeigt die Optionen."));
        return kBadUsage;
    }
    if (options->bHelp) {
        Write(stdout, HelpText());
        return kWritten;
    }
    if (options->bVersion) {
        Write(stdout, QStringLiteral("sondrel-backup %1.%2.%3\n")
                          .arg(SONDREL_VERSION_MAJOR)
                          .arg(SONDREL_VERSION_MINOR)
                          .arg(SONDREL_VERSION_PATCH));
        return kWritten;
    }
    InstallStopHandlers();
    return Command(*options).Execute();
}

}  // namespace BackupCommand
