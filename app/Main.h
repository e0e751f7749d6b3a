#pragma once
// Start-up: loads the stored backup list, creates the filter lists, and either opens the window
// (no arguments) or takes in the paths of the command line. Either way it first looks for a window
// of this user that is already open (SingleInstance.h) and hands the start over to it.

#include <QString>
#include <QStringList>
#include <functional>

namespace modBackup {

/// The command-line text for arguments that the shell has already split: joined with one blank,
/// each argument that contains a blank enclosed in double quotes.
QString BuildCommandLine(const QStringList& args);

/// Splits a command line into paths: a token starting with a double quote ends at the next one,
/// any other at the next blank; tokens are trimmed of blanks (only blanks) and lose every double
/// quote. Empty tokens are kept. Linear in the length of the line.
QStringList TokenizeCommandLine(const QString& sCommandLine);

/// The program's start; args excludes the program's name.
///
/// No arguments: window mode. When a window of this user is open it is raised and the result is
/// 0; otherwise the list is loaded and the result is runWindowMode()'s, run while this process
/// holds the window's lock. It gets the reason why the stored list could not be read, if so.
///
/// Arguments (even empty ones): intake mode. The tokens go to the open window, or, without one,
/// into the stored list (folders scanned five levels deep, anything else added as a file path).
/// 0 when they were added and the list stored; otherwise 1 and one German line on stderr.
using WindowModeRunner = std::function<int(const QString& sLoadProblem)>;
int Main(const QStringList& args, const WindowModeRunner& runWindowMode);

}  // namespace modBackup
