#pragma once
// Start-up: loads the stored backup list, creates the filter lists, and either hands over to the
// window (empty command line) or takes in the paths of the command line and stores the list.

#include <QString>
#include <QStringList>
#include <functional>

namespace modBackup {

/// The command-line text for arguments that the shell has already split: joined with one blank,
/// each argument that contains a blank enclosed in double quotes.
QString BuildCommandLine(const QStringList& args);

/// Splits a command line into paths: a token starting with a double quote ends at the next one,
/// any other at the next blank; tokens are trimmed of blanks (only blanks) and lose every double
/// quote. Empty tokens are kept.
QStringList TokenizeCommandLine(const QString& sCommandLine);

/// The program's start. args excludes the program's name. With an empty command line it returns
/// runWindowMode(); otherwise every token is taken into the backup list (folders scanned five
/// levels deep, anything else added as a file path), the list is stored and the result is 0.
int Main(const QStringList& args, const std::function<int()>& runWindowMode);

}  // namespace modBackup
