#include "app/Main.h"

#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>

#include "app/Intake.h"
#include "app/SingleInstance.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"

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
    bool stored = false;
    {
        modRegistry::RegBatch batch(modRegistry::HKEY_CURRENT_USER, true);
        if (batch.Active() && LoadBackupList()) {
            CreateFilterLists();
            CollectIntakeFiles(tokens, CurrentFolder(), FolderScanExtensions(),
                               State().BackupFiles);
            stored = SaveBackupList() && batch.Commit();
        }
    }
    ReleaseBackupFiles();
    if (!stored) {
        Complain(NotStoredLine(StoreProblemText()));
        return 1;
    }
    return 0;
}

int IntakeMode(const QStringList& args) {
    const QStringList tokens = IntakeTokens(args);
    QStringList request = tokens;
    request.prepend(CurrentFolder());
    Lock lock;
    QDeadlineTimer deadline(kWaitForWindowMs);
    bool bToldOfBackup = false;
    for (;;) {
        QString problem;
        switch (lock.TryAcquire(&problem)) {
            case Lock::Result::Acquired:
                return IntakeIntoStore(tokens);
            case Lock::Result::Unavailable:
                // Without the folder no window can listen either.
                return IntakeIntoStore(tokens);
            case Lock::Result::Busy:
                break;
        }
        const Answer answer = SingleInstance::Request(SingleInstance::MessageType::Add, request);
        switch (answer.kind) {
            case Answer::Kind::Done:
                return 0;
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
    for (;;) {
        QString problem;
        if (lock.TryAcquire(&problem) != Lock::Result::Busy) {
            break;  // the window tells when it cannot be reached
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
    const bool loaded = LoadBackupList();
    CreateFilterLists();
    return runWindowMode ? runWindowMode(loaded ? QString() : StoreProblemText()) : 0;
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
