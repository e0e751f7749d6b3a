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
#include "app/DesktopNotification.h"
#include "app/NativePath.h"
#include "app/SearchSettings.h"
#include "app/SingleInstance.h"
#include "app/TerminalProgress.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "platform/SystemReason.h"

namespace BackupCommand {

namespace {

using SingleInstance::Lock;

// How long the run waits for a window lock held by someone who does not answer yet (a window
// that is starting, an intake storing a large folder).
constexpr int kWaitForLockMs = 60000;
constexpr int kRetryMs = 50;
constexpr qsizetype kMaxListedFiles = 20;
// The first line is the password; a file much longer than one is no password file.
constexpr qsizetype kMaxPasswordFileBytes = 64 * 1024;
constexpr qsizetype kMaxNotificationChars = 1000;

QString SystemReason(int error) {
    return QString::fromStdString(platform::systemReason(error));
}

void Write(FILE* stream, const QString& sText) {
    std::fputs(sText.toUtf8().constData(), stream);
    std::fflush(stream);
}

// The lines of a message on stderr, the first after the program's name; blank lines left out.
void Tell(const QString& sText) {
    QString out;
    for (const QString& line : sText.split(u'\n', Qt::SkipEmptyParts)) {
        out += (out.isEmpty() ? QStringLiteral("sondrel-backup: ") : QString()) + line + u'\n';
    }
    Write(stderr, out);
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
bool StoreTakesWrites() {
    modRegistry::RegBatch batch(modRegistry::HKEY_CURRENT_USER, true);
    return batch.Active() && batch.Commit();
}

// Counts what the change search adds, and shows the count on a terminal.
class FoundCounter : public modBackup::ISearchOutlet {
public:
    FoundCounter(TerminalProgress& progress, QString sFolder)
        : progress_(progress), sFolder_(std::move(sFolder)) {}
    void FileFound(const QString& /*sFile*/) override { progress_.Searching(sFolder_, ++lFound); }
    bool bStopped() const override { return false; }

    int64_t lFound = 0;

private:
    TerminalProgress& progress_;
    QString sFolder_;
};

class Command {
public:
    explicit Command(Options options)
        : options_(std::move(options)), progress_(::isatty(STDERR_FILENO) == 1) {}
    int Execute();

private:
    std::optional<int> TakeLocks();
    std::optional<int> LoadList();
    std::optional<int> Search();
    int Backup(CListString& files, const QString& sArchive);
    int DryRun(CListString& files, const QString& sArchive);
    int Fail(const QStringList& reasons);
    int WindowOpen();
    void Notify(const QString& sSummary, const QString& sBody) const;

    Options options_;
    QString sPassword_;
    QDateTime dtStart_;
    // Released in the reverse order: the window's lock first, so a waiting start goes on at once.
    Lock backupLock_{SingleInstance::kBackupLockFile};
    Lock windowLock_;
    TerminalProgress progress_;
};

int Command::Execute() {
    if (!options_.sPasswordFile.isEmpty()) {
        QString sProblem;
        const std::optional<QString> password = ReadPasswordFile(options_.sPasswordFile, &sProblem);
        if (!password) {
            return Fail({sProblem});
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
    if (!options_.bDryRun && bWritesStore && !StoreTakesWrites()) {
        return Fail({QStringLiteral("Die Einstellungen können nicht gespeichert werden: %1")
                         .arg(modBackup::StoreProblemText())});
    }
    if (options_.bSearch) {
        if (const std::optional<int> status = Search()) {
            return *status;
        }
    }
    CListString* files = modBackup::State().BackupFiles.get();
    if (files == nullptr || files->Count() == 0) {
        Tell(options_.bSearch ? QStringLiteral("Nichts zu sichern: Die Suche hat keine geänderten "
                                               "Dateien gefunden, und die Backup-Liste ist leer.")
                              : QStringLiteral("Nichts zu sichern: Die Backup-Liste ist leer."));
        return kNothingToDo;
    }
    const QString sFolder =
        options_.sFolder.isEmpty()
            ? modBackup::ReadOption(QStringLiteral("DefaultPath"), modBackup::HomeFolder())
            : FullPath(options_.sFolder);
    if (const QString sWhy = BackupRun::FolderProblem(sFolder); !sWhy.isEmpty()) {
        return Fail({QStringLiteral("In den Zielordner „%1“ kann nicht geschrieben werden: %2")
                         .arg(DisplayPath(sFolder), sWhy)});
    }
    const QString sProposed = ArchiveName::Proposed(sFolder, dtStart_);
    const QString sArchive = ArchiveName::FirstFree(sProposed);
    if (sArchive.isEmpty()) {
        return Fail({ArchiveName::NoneFreeText(sProposed)});
    }
    return options_.bDryRun ? DryRun(*files, sArchive) : Backup(*files, sArchive);
}

std::optional<int> Command::TakeLocks() {
    QString sProblem;
    if (backupLock_.TryAcquire(&sProblem) == Lock::Result::Busy) {
        return Fail({QStringLiteral("Ein anderes sondrel-backup läuft schon.")});
    }
    // Unavailable: then no window can listen either, and the run goes on alone.
    QDeadlineTimer deadline(kWaitForLockMs);
    while (windowLock_.TryAcquire(&sProblem) == Lock::Result::Busy) {
        // The window may still be starting: only its greeting tells.
        if (SingleInstance::WindowInstanceRunning()) {
            return WindowOpen();
        }
        if (deadline.hasExpired()) {
            return Fail({SingleInstance::kNoAnswerText});
        }
        QThread::msleep(kRetryMs);
    }
    return std::nullopt;
}

std::optional<int> Command::LoadList() {
    QStringList vanished;
    if (!modBackup::LoadBackupList(&vanished)) {
        return Fail({QStringLiteral("Die gespeicherte Dateiliste konnte nicht gelesen werden: %1")
                         .arg(modBackup::StoreProblemText())});
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
    using namespace modBackup;
    SharedState& state = State();
    const SearchSettings::Values values = SearchSettings::Load();
    if (!state.FSO.FolderExists(values.sSearchPath)) {
        return Fail({QStringLiteral("Das Startverzeichnis der Suche „%1“ gibt es nicht.")
                         .arg(DisplayPath(values.sSearchPath))});
    }
    SearchSettings::PrepareScan(values);
    // The folders the options exclude, which the window loads only with the options dialog. Not
    // read, they would be searched as if none were excluded.
    if (!LoadOptionList(state.ExcludeFolders, QStringLiteral("ExcludeFolder"))) {
        return Fail({QStringLiteral("Die ausgeschlossenen Ordner konnten nicht gelesen werden: %1")
                         .arg(StoreProblemText())});
    }
    FoundCounter counter(progress_, DisplayPath(values.sSearchPath));
    ISearchOutlet* const previous = state.SearchOutlet;
    state.SearchOutlet = &counter;
    ScanFolder(state.FSO.GetFolder(values.sSearchPath), false, true);
    state.SearchOutlet = previous;
    progress_.Clear();
    Write(stdout, QStringLiteral("Suche in %1: %2 gefunden.\n")
                      .arg(DisplayPath(values.sSearchPath), GermanNumber::Files(counter.lFound)));
    // Stored before the backup, so that a failed one leaves them listed.
    if (counter.lFound > 0 && !options_.bDryRun && !SaveBackupList()) {
        return Fail({QStringLiteral("Die gefundenen Dateien konnten nicht in die Liste "
                                    "aufgenommen werden: %1")
                         .arg(StoreProblemText())});
    }
    return std::nullopt;
}

int Command::Backup(CListString& files, const QString& sArchive) {
    BackupSettings settings;
    settings.sArchivePath = sArchive;
    settings.sPassword = sPassword_;
    settings.sComment =
        options_.comment.value_or(QStringLiteral("tägliches Backup von ") +
                                  dtStart_.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    settings.bAdjustLastBackupDate = !options_.bNoStamp;
    settings.bClearArchiveFlag = modBackup::ReadFlagOption(modBackup::OptArchiveFlag, false);
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
    const bool bWritten = run.Run(&files);
    progress_.Clear();
    if (!bWritten) {
        return Fail(run.FailureReasons());
    }
    // Only what this run archived leaves the list; nothing else can have arrived meanwhile, as
    // the lock is held, but a path that did would stay.
    const QString sProblems = run.ApplyAfterEffects([&run](QString* sProblem) {
        if (modBackup::RemoveFromStoredBackupList(run.ArchivedPaths())) {
            return true;
        }
        *sProblem = modBackup::StoreProblemText();
        return false;
    });
    Write(stdout,
          QStringLiteral("%1, %2 MB in %3, geprüft\n")
              .arg(GermanNumber::Files(run.FilesDone()), GermanNumber::Megabytes(run.BytesDone()),
                   DisplayPath(run.ArchivePath())));
    if (!sProblems.isEmpty()) {
        const QString sText =
            QStringLiteral("Das Archiv ist geschrieben und geprüft, aber:\n") + sProblems;
        Tell(sText);
        Notify(QStringLiteral("Backup nicht vollständig abgeschlossen"), sText);
        return kFailed;
    }
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
    out += QStringLiteral("Probelauf: %1, %2 MB würden in %3 gesichert; nichts wurde geändert.\n")
               .arg(GermanNumber::Files(paths.size()), GermanNumber::Megabytes(lBytes),
                    DisplayPath(sArchive));
    Write(stdout, out);
    return kWritten;
}

int Command::Fail(const QStringList& reasons) {
    progress_.Clear();
    Tell(BackupRun::FailedBecause(reasons));
    Notify(QStringLiteral("Das Backup ist fehlgeschlagen."), reasons.join(QStringLiteral("\n\n")));
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

std::optional<Options> ParseOptions(const QStringList& args, QString* sProblem) {
    Options options;
    const auto fail = [sProblem](const QString& sText) -> std::optional<Options> {
        if (sProblem != nullptr) {
            *sProblem = sText;
        }
        return std::nullopt;
    };
    const std::array<std::pair<QStringView, bool*>, 7> flags = {{
        {u"--search", &options.bSearch},
        {u"--keep-list", &options.bKeepList},
        {u"--no-stamp", &options.bNoStamp},
        {u"--dry-run", &options.bDryRun},
        {u"--help", &options.bHelp},
        {u"-h", &options.bHelp},
        {u"--version", &options.bVersion},
    }};
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const qsizetype equals = arg.startsWith(u"--") ? arg.indexOf(u'=') : -1;
        const QString name = equals < 0 ? arg : arg.left(equals);
        std::optional<QString> value;
        if (equals >= 0) {
            value = arg.mid(equals + 1);
        }
        bool* flag = nullptr;
        for (const auto& [flagName, target] : flags) {
            if (name == flagName) {
                flag = target;
            }
        }
        if (flag != nullptr) {
            if (value) {
                return fail(QStringLiteral("Die Option „%1“ nimmt keinen Wert.").arg(name));
            }
            *flag = true;
            continue;
        }
        QString* target = name == u"--password-file" ? &options.sPasswordFile
                          : name == u"--folder"      ? &options.sFolder
                                                     : nullptr;
        if (target == nullptr && name != u"--comment") {
            return fail(name.startsWith(u'-')
                            ? QStringLiteral("Unbekannte Option „%1“.").arg(name)
                            : QStringLiteral("Unerwartetes Argument „%1“.").arg(DisplayPath(arg)));
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return fail(QStringLiteral("Der Option „%1“ fehlt ihr Wert.").arg(name));
            }
            value = args[++i];
        }
        if (target == nullptr) {
            options.comment = *value;  // an empty comment is no comment
        } else if (value->isEmpty()) {
            return fail(QStringLiteral("Der Option „%1“ fehlt ihr Wert.").arg(name));
        } else {
            *target = *value;
        }
    }
    return options;
}

std::optional<QString> ReadPasswordFile(const QString& sPath, QString* sProblem) {
    const auto fail = [&](const QString& sWhy) -> std::optional<QString> {
        if (sProblem != nullptr) {
            *sProblem = QStringLiteral("Die Passwortdatei „%1“ %2.").arg(DisplayPath(sPath), sWhy);
        }
        return std::nullopt;
    };
    // Not blocking: a pipe named by mistake must not hold the run.
    const int fd =
        ::open(NativePath(sPath).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return fail(QStringLiteral("kann nicht gelesen werden: ") + SystemReason(errno));
    }
    struct stat st {};
    const bool bStat = ::fstat(fd, &st) == 0;
    const bool bPlain = bStat && S_ISREG(st.st_mode);
    const bool bPrivate = bStat && (st.st_mode & (S_IRGRP | S_IROTH)) == 0;
    QByteArray data;
    int readError = 0;
    if (bPlain && bPrivate) {
        data.resize(kMaxPasswordFileBytes);
        const ssize_t lRead = ::read(fd, data.data(), static_cast<size_t>(data.size()));
        readError = lRead < 0 ? errno : 0;
        data.resize(lRead < 0 ? 0 : lRead);
    }
    ::close(fd);
    if (!bPlain) {
        return fail(QStringLiteral("ist keine gewöhnliche Datei"));
    }
    if (!bPrivate) {
        return fail(QStringLiteral("ist auch für andere Benutzer lesbar; nur ihr Besitzer darf "
                                   "sie lesen können (chmod 600 „%1“)")
                        .arg(DisplayPath(sPath)));
    }
    if (readError != 0) {
        return fail(QStringLiteral("kann nicht gelesen werden: ") + SystemReason(readError));
    }
    const qsizetype lineEnd = data.indexOf('\n');
    QByteArray line = lineEnd < 0 ? data : data.left(lineEnd);
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.isEmpty()) {
        return fail(QStringLiteral("ist leer; ihre erste Zeile muss das Passwort sein"));
    }
    const QString sPassword = QString::fromUtf8(line);
    if (line.contains('\0') || sPassword.toUtf8() != line) {
        return fail(QStringLiteral("enthält in ihrer ersten Zeile keinen UTF-8-Text"));
    }
    if (line.size() > BackupRun::kMaxPasswordBytes) {
        return fail(QStringLiteral("enthält ein Passwort von mehr als %1 Byte")
                        .arg(BackupRun::kMaxPasswordBytes));
    }
    return sPassword;
}

QString HelpText() {
    return QStringLiteral(
        "Aufruf: sondrel-backup [OPTION]...\n"
        "Sichert die Backup-Liste von Tarvello-Backup ohne Fenster in ein ZIP-Archiv, so wie der\n"
        "Dialog „Backup durchführen“ mit seinen Voreinstellungen: in den Ordner „DefaultPath“ der\n"
        "Optionen, unter dem ersten freien Namen „JJJJMMTT_hhmm Backup.zip“, mit dem Kommentar\n"
        "„tägliches Backup von TT.MM.JJJJ hh:mm“. Das Archiv wird danach von der Platte gelesen\n"
        "und geprüft. Erst dann wird das Datum des letzten Backups gespeichert, werden die\n"
        "Archivmarken gelöscht (wenn in den Optionen eingestellt) und wird die Liste geleert.\n"
        "\n"
        "Optionen:\n"
        "  --search               vorher nach Dateien suchen, die seit dem letzten Backup\n"
        "                         geändert wurden (mit den Einstellungen des Dialogs „Dateien\n"
        "                         suchen“), und sie in die Liste aufnehmen\n"
        "  --password-file DATEI  das Archiv mit dem Passwort aus der ersten Zeile von DATEI\n"
        "                         verschlüsseln; DATEI darf nur ihr Besitzer lesen können\n"
        "  --comment TEXT         TEXT als Kommentar des Archivs (leer: kein Kommentar)\n"
        "  --folder ORDNER        das Archiv in ORDNER statt in „DefaultPath“ schreiben\n"
        "  --keep-list            die Liste nach dem Backup nicht leeren\n"
        "  --no-stamp             das Datum des letzten Backups nicht speichern\n"
        "  --dry-run              nur zeigen, was wohin gesichert würde; nichts ändern\n"
        "  -h, --help             diese Hilfe zeigen\n"
        "  --version              die Version zeigen\n"
        "\n"
        "Auf einem Terminal zeigt eine Zeile auf der Standardfehlerausgabe den Fortschritt.\n"
        "\n"
        "Exit-Status:\n"
        "  0   Archiv geschrieben und geprüft\n"
        "  1   fehlgeschlagen (der Grund steht auf der Standardfehlerausgabe; mit einer\n"
        "      Sitzung auch als Desktop-Benachrichtigung)\n"
        "  2   nichts zu sichern: die Liste ist leer\n"
        "  3   das Sondrel-Fenster ist geöffnet; es hält die Liste, nichts wurde geändert\n"
        "  64  falscher Aufruf\n"
        "\n"
        "Täglich sichern: systemctl --user enable --now sondrel-backup.timer\n"
        "Mehr in „man sondrel-backup“.\n");
}

int Run(const QStringList& args) {
    QString sProblem;
    const std::optional<Options> options = ParseOptions(args, &sProblem);
    if (!options) {
        Tell(sProblem + QStringLiteral("\n„sondrel-backup --help“ zeigt die Optionen."));
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
