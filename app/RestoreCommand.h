#pragma once
// sondrel-restore: files back from the backups' archives, as they were at a moment, without a
// window. The command line turned into the calls of Restore.h.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "app/Result.h"

namespace RestoreCommand {

enum Status : int {
    kRestored = 0,  // everything asked for was restored (or listed)
    kFailed = 1,    // something failed, named on stderr; the rest was restored
    kNothing = 2,   // nothing matched
    kBadUsage = 64,
};

struct Options {
    QStringList folders;  // empty: Restore::DefaultFolders()
    QDateTime dtAt;       // invalid: now, the newest
    QString sTarget;      // empty: the original places
    QString sPasswordFile;
    bool bList = false;
    bool bVersions = false;
    bool bDeleted = false;
    bool bOverwrite = false;
    bool bHelp = false;
    bool bVersion = false;
    QStringList paths;  // absolute, as backed up
};

/// "JJJJ-MM-TT HH:MM" (to the end of that minute), or "JJJJ-MM-TT" (to the end of that day), local
/// time. Fails with a German usage text.
Result<QDateTime> ParseMoment(const QString& sText);

/// The options of a command line without the program's name; "--name value" or "--name=value".
Result<Options> ParseOptions(const QStringList& args);

QString HelpText();

/// Runs the command; the exit status.
int Run(const QStringList& args);

}  // namespace RestoreCommand
