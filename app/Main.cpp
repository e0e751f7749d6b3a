#include "app/Main.h"

#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>

#include "app/FileSystem.h"
#include "app/Intake.h"
#include "app/NativePath.h"
#include "app/SingleInstance.h"
#include "app/modBackup.h"

namespace modBackup {

namespace {

using SingleInstance::Answer;
using SingleInstance::Lock;

// How long a start waits for a window that holds the lock but does not answer yet (it may be
// starting, or an intake may be storing a large folder).
constexpr int kWaitForWindowMs = 60000;
constexpr int kRetryMs = 50;

// Leading and trailing blanks only; tabs are ordinary characters here.
QStringView TrimBlanks(QStringView s) {
    while (!s.isEmpty() && s.front() == u' ') {
        s = s.sliced(1);
    }
    while (!s.isEmpty() && s.back() == u' ') {
        s.chop(1);
    }
    return s;
}

void Complain(const QString& sLine) {
    std::fputs(("Sondrel: " + sLine + u'\n').toLocal8Bit().constData(), stderr);
}

QString NotStoredLine(const QString& sProblem) {
    return QStringLiteral("Die Dateiliste konnte nicht gespeichert werden: %1.").arg(sProblem);
}

// A start that finds the lock taken waits a minute for it, or for as long as sondrel-backup runs
// (it holds the lock for its whole run); false when it has waited enough. A wait for a backup,
// which may take long, is told once, so that a start from a terminal does not look hung.
bool StillWorthWaiting(QDeadlineTimer& deadline, bool& bToldOfBackup) {
    const bool bBackupRunning = SingleInstance::BackupRunning();
    if (bBackupRunning && !bToldOfBackup) {
        Complain(
            QStringLiteral("Ein Backup (sondrel-backup) läuft gerade; es geht weiter, sobald "
                           "es fertig ist."));
        bToldOfBackup = true;
    }
    if (!deadline.hasExpired()) {
        return true;
    }
    if (!bBackupRunning) {
        return false;
    }
    deadline.setRemainingTime(kWaitForWindowMs);
    return true;
}

void CreateFilterLists() {
    SharedState& state = State();
    state.Extensions = std::make_unique<CListString>();
    state.ExcludeFolders = std::make_unique<CListString>();
}

void ReleaseBackupFiles() {
    SharedState& state = State();
    if (state.BackupFiles) {
        state.BackupFiles->RemoveAll();
        state.BackupFiles.reset();
    }
}

// Intake on the stored list, in one transaction: what was stored before is either kept whole
// or stored again with the new paths.
int IntakeIntoStore(const QStringList& tokens) {
    const QString notice = PrepareStore(false);
    if (!notice.isEmpty()) {
        Complain(notice);
    }
    QStringList notes;
    const Result<void> stored = [&tokens, &notes]() -> Result<void> {
        StoreTransaction transaction(true);
        if (!transaction.Started()) {
            return transaction.Started();
        }
        if (Result<void> loaded = LoadBackupList(); !loaded) {
            return loaded;
        }
        CreateFilterLists();
        const Result<FolderScanFilters> filters = LoadFolderScanFilters();
        if (!filters) {
            return Failure{filters.Reason()};
        }
        notes = CollectIntakeFiles(tokens, CurrentFolder(), *filters, State().BackupFiles);
        if (Result<void> saved = SaveBackupList(); !saved) {
            return saved;
        }
        return transaction.Commit();
    }();
    ReleaseBackupFiles();
    if (!stored) {
        Complain(NotStoredLine(stored.Reason()));
        return 1;
    }
    for (const QString& note : notes) {
        Complain(note);
    }
    return 0;
}

// A pipe, device or socket is no file to back up: it would only be dropped later as gone, and
// reading a pipe may never end. Told now, with its reason.
QStringList WithoutSpecialFiles(const QStringList& tokens, bool* pRefused) {
    QStringList kept;
    const QString cwd = CurrentFolder();
    for (const QString& token : tokens) {
        const QString refusal = SpecialFileReason(FullPath(token, cwd));
        if (refusal.isEmpty()) {
            kept.append(token);
            continue;
        }
        Complain(
            QStringLiteral("„%1“ wird nicht aufgenommen: %2.").arg(DisplayPath(token), refusal));
        *pRefused = true;
    }
    return kept;
}

int IntakeMode(const QStringList& args) {
    bool bRefused = false;
    const QStringList tokens = WithoutSpecialFiles(IntakeTokens(args), &bRefused);
    const int lDone = bRefused ? kSomeRefused : 0;
    QStringList request = tokens;
    request.prepend(CurrentFolder());
    Lock lock;
    QDeadlineTimer deadline(kWaitForWindowMs);
    bool bToldOfBackup = false;
    for (;;) {
        // A lock that cannot be used at all: then no window can run either, as it refuses to
        // start unlocked.
        if (const Result<bool> acquired = lock.TryAcquire(); !acquired || *acquired) {
            return IntakeIntoStore(tokens) == 0 ? lDone : 1;
        }
        const Answer answer = SingleInstance::Request(SingleInstance::MessageType::Add, request);
        switch (answer.kind) {
            case Answer::Kind::Done:
                // What the window's scan left out at its level limit.
                for (const QString& note : answer.sText.split(u'\n', Qt::SkipEmptyParts)) {
                    Complain(note);
                }
                return lDone;
            case Answer::Kind::NotStored:
                Complain(NotStoredLine(answer.sText));
                return 1;
            case Answer::Kind::Refused:
                Complain(answer.sText);
                return 1;
            case Answer::Kind::NoWindow:
            case Answer::Kind::Closing:
                break;
        }
        if (!StillWorthWaiting(deadline, bToldOfBackup)) {
            Complain(SingleInstance::kNoAnswerText);
            return 1;
        }
        QThread::msleep(kRetryMs);
    }
}

int WindowMode(const WindowModeRunner& runWindowMode) {
    Lock lock;
    QDeadlineTimer deadline(kWaitForWindowMs);
    bool bToldOfBackup = false;
    WindowStart start;
    for (;;) {
        const Result<bool> acquired = lock.TryAcquire();
        if (!acquired) {
            // A window without the lock could not be found by other starts, and two such windows
            // would each write their own list over the other's.
            start.sRefusal = QStringLiteral(
                                 "Sondrel kann nicht sicherstellen, dass nur ein Fenster die "
                                 "Dateiliste bearbeitet, und startet deshalb nicht.\n\n") +
                             acquired.Reason();
            Complain(start.sRefusal);
            return runWindowMode ? runWindowMode(start) : 1;
        }
        if (*acquired) {
            break;
        }
        const Answer answer = SingleInstance::Request(SingleInstance::MessageType::Activate);
        if (answer.kind == Answer::Kind::Done) {
            return 0;
        }
        if (answer.kind == Answer::Kind::Refused) {
            Complain(answer.sText);
            return 1;
        }
        if (!StillWorthWaiting(deadline, bToldOfBackup)) {
            Complain(SingleInstance::kNoAnswerText);
            return 1;
        }
        QThread::msleep(kRetryMs);
    }
    start.sStoreNotice = PrepareStore(true);
    if (const Result<void> loaded = LoadBackupList(); !loaded) {
        start.sLoadProblem = loaded.Reason();
    }
    CreateFilterLists();
    return runWindowMode ? runWindowMode(start) : 0;
}

}  // namespace

QString BuildCommandLine(const QStringList& args) {
    QStringList parts;
    parts.reserve(args.size());
    for (const QString& arg : args) {
        parts.append(arg.contains(u' ') ? u'"' + arg + u'"' : arg);
    }
    return parts.join(u' ');
}

QStringList TokenizeCommandLine(const QString& sCommandLine) {
    QStringList tokens;
    QStringView rest(sCommandLine);
    while (!rest.isEmpty()) {
        const bool quoted = rest.front() == u'"';
        const qsizetype p = rest.indexOf(quoted ? u'"' : u' ', quoted ? 1 : 0);
        QString token;
        if (p >= 0) {
            token = TrimBlanks(rest.first(p + 1)).toString();
            rest = TrimBlanks(rest.sliced(p + 1));
        } else {
            token = TrimBlanks(rest).toString();
            rest = QStringView();
        }
        token.remove(u'"');
        tokens.append(token);
    }
    return tokens;
}

int Main(const QStringList& args, const WindowModeRunner& runWindowMode) {
    if (args.isEmpty()) {
        return WindowMode(runWindowMode);
    }
    return IntakeMode(args);
}

}  // namespace modBackup
