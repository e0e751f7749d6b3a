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

/// What the window must know as it starts.
struct WindowStart {
    /// Why the stored list could not be read (the window then holds what it gets apart, and never
    /// saves over the stored list); empty when it was read.
    QString sLoadProblem;
    /// What happened to the settings file before it was read (moved aside as damaged, only
    /// readable); empty when nothing.
    QString sStoreNotice;
    /// Set when no window may open (the single-window lock cannot be used); the runner only
    /// tells it and returns 1.
    QString sRefusal;
};

/// The exit status of intake when the list was stored but some paths were refused (a pipe, a
/// device or a socket), each named on stderr.
inline constexpr int kSomeRefused = 2;

/// The program's start; args excludes the program's name.
///
/// No arguments: window mode. When a window of this user is open it is raised and the result is
/// 0; otherwise the list is loaded and the result is runWindowMode()'s, run while this process
/// holds the window's lock.
///
/// Arguments (even empty ones): intake mode. The tokens go to the open window, or, without one,
/// into the stored list (folders scanned five levels deep, anything else added as a file path).
/// 0 when they were added and the list stored; kSomeRefused when the list was stored without a
/// pipe, device or socket among them; otherwise 1 and one German line on stderr.
using WindowModeRunner = std::function<int(const WindowStart& start)>;
int Main(const QStringList& args, const WindowModeRunner& runWindowMode);

}  // namespace modBackup
