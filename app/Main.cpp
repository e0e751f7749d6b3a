#include "app/Main.h"

#include <QDir>

#include "app/modBackup.h"

namespace modBackup {

namespace {

// Leading and trailing blanks only; tabs are ordinary characters here.
QString TrimBlanks(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s[begin] == u' ') {
        ++begin;
    }
    while (end > begin && s[end - 1] == u' ') {
        --end;
    }
    return s.mid(begin, end - begin);
}

// The shell hands over paths relative to the working folder; the list holds full paths.
QString FullFilePath(const QString& sToken) {
    if (sToken.isEmpty() || QDir::isAbsolutePath(sToken)) {
        return sToken;
    }
    return QDir::cleanPath(QDir::currentPath() + u'/' + sToken);
}

void TakeToken(const QString& sToken) {
    SharedState& state = State();
    if (state.FSO.FolderExists(sToken)) {
        if (ReadFlagOption(OptExtFilterScan, false)) {
            LoadOptionList(state.Extensions, QStringLiteral("Extension"));
        } else {
            state.Extensions->RemoveAll();
        }
        // Fixed for intake: the stored level options belong to the change search.
        state.ScanRecursionLimit = 5;
        state.ScanArchiveOnly = false;
        state.ScanChangedOnly = false;
        state.ScanSince = ZeroDate();
        ScanFolder(state.FSO.GetFolder(sToken), false, false);
        return;
    }
    const QString path = FullFilePath(sToken);
    if (!state.BackupFiles->ValueExists(path)) {
        state.BackupFiles->Add(path);
    }
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
    QString rest = sCommandLine;
    while (!rest.isEmpty()) {
        const bool quoted = rest.front() == u'"';
        const qsizetype p = rest.indexOf(quoted ? u'"' : u' ', quoted ? 1 : 0);
        QString token;
        if (p >= 0) {
            token = TrimBlanks(rest.left(p + 1));
            rest = TrimBlanks(rest.mid(p + 1));
        } else {
            token = TrimBlanks(rest);
            rest.clear();
        }
        token.remove(u'"');
        tokens.append(token);
    }
    return tokens;
}

int Main(const QStringList& args, const std::function<int()>& runWindowMode) {
    LoadBackupList();
    SharedState& state = State();
    state.Extensions = std::make_unique<CListString>();
    state.ExcludeFolders = std::make_unique<CListString>();

    const QString commandLine = BuildCommandLine(args);
    if (commandLine.isEmpty()) {
        return runWindowMode ? runWindowMode() : 0;
    }
    for (const QString& token : TokenizeCommandLine(commandLine)) {
        TakeToken(token);
    }
    SaveBackupList();
    state.BackupFiles->RemoveAll();
    state.BackupFiles.reset();
    return 0;
}

}  // namespace modBackup
