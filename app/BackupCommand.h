#pragma once
// sondrel-backup: the backup dialog's run without a window, for a daily timer. It writes the
// stored list with the stored settings as the dialog does with its defaults (first, if asked, the
// change search with the stored search settings), and tells how it went by its exit status, on
// stderr and, when it fails, in a desktop notification.
//
// It never runs beside the window, which holds the list, and it holds the window's lock for its
// whole run, so that a window or an intake started meanwhile waits until it is done and then finds
// the list as the backup left it.

#include <QString>
#include <QStringList>
#include <optional>

namespace BackupCommand {

enum Status : int {
    kWritten = 0,      // written and checked
    kFailed = 1,       // nothing applied; the reason on stderr
    kNothingToDo = 2,  // the list is empty
    kWindowOpen = 3,   // the window holds the list; nothing done
    kBadUsage = 64,
};

struct Options {
    bool bSearch = false;
    QString sPasswordFile;           // empty: no password
    std::optional<QString> comment;  // none: "tägliches Backup von dd.mm.yyyy hh:nn"
    QString sFolder;                 // empty: "DefaultPath"
    bool bKeepList = false;
    bool bNoStamp = false;
    bool bDryRun = false;
    bool bHelp = false;
    bool bVersion = false;
};

/// The options of a command line without the program's name: "--name value" or "--name=value",
/// the last of a repeated option counts. nullopt with *sProblem (German) when it is no valid use.
std::optional<Options> ParseOptions(const QStringList& args, QString* sProblem);

/// The first line of the file (without its line end) as the password. nullopt with *sProblem when
/// the file cannot be read, is no plain file, may be read by its group or by others, or when that
/// line is empty, no UTF-8 text, or longer than the engine takes.
std::optional<QString> ReadPasswordFile(const QString& sPath, QString* sProblem);

/// What --help prints.
QString HelpText();

/// The whole command over args (without the program's name); returns the exit status. Needs a
/// QCoreApplication. From here on SIGTERM, SIGINT and SIGHUP remove the unfinished archive
/// before they end the process.
int Run(const QStringList& args);

}  // namespace BackupCommand
