#pragma once
// sondrel-backup's command line: its options, the password file and the help text. Pure functions
// of their input (and, for the password file, of that file), tested without a run.

#include <QString>
#include <QStringList>
#include <optional>

#include "app/DailySearch.h"
#include "app/Result.h"
#include "app/modBackup.h"

namespace BackupCommand {

enum Status : int {
    kWritten = 0,      // written and checked
    kFailed = 1,       // nothing applied; the reason on stderr
    kNothingToDo = 2,  // the search found nothing and the list is empty
    kWindowOpen = 3,   // the window holds the list; nothing done
    kBadUsage = 64,
};

struct Options {
    bool bSearch = false;
    std::optional<DailySearch::Rule> searchRule;            // none: the rule the options store
    QString sPasswordFile;                                  // empty: no password
    std::optional<modBackup::EncryptionMethod> encryption;  // none: "EncryptionMethod"
    std::optional<QString> comment;  // none: "tägliches Backup von dd.mm.yyyy hh:nn"
    QString sFolder;                 // empty: "DefaultPath"
    bool bKeepList = false;
    bool bNoStamp = false;
    bool bDryRun = false;
    bool bHelp = false;
    bool bVersion = false;
};

/// The options of a command line without the program's name: "--name value" or "--name=value",
/// the last of a repeated option counts. Fails when it is no valid use.
Result<Options> ParseOptions(const QStringList& args);

/// The first line of the file (without its line end) as the password. Fails when the file cannot
/// be read, is no plain file (a pipe is refused at once, never waited for), may be read by its
/// group or by others, or when that line is empty, no UTF-8 text, or longer than lMaxBytes (what
/// the engine takes, or 7-Zip under AES). The file's bytes read are overwritten.
Result<QString> ReadPasswordFile(const QString& sPath, qsizetype lMaxBytes);

/// What --help prints.
QString HelpText();

}  // namespace BackupCommand
