#pragma once
// sondrel-backup: the backup dialog's run without a window, for a daily timer. It writes the
// stored list with the stored settings as the dialog does with its defaults (first, if asked, the
// change search with the stored search settings), and tells how it went by its exit status, on
// stderr and, when it fails, in a desktop notification.
//
// It never runs beside the window, which holds the list, and it holds the window's lock for its
// whole run, so that a window or an intake started meanwhile waits until it is done and then finds
// the list as the backup left it.

#include <QStringList>

#include "app/BackupOptions.h"

namespace BackupCommand {

/// The whole command over args (without the program's name); returns the exit status. Needs a
/// QCoreApplication. From here on SIGTERM, SIGINT and SIGHUP remove the unfinished archive
/// before they end the process.
int Run(const QStringList& args);

}  // namespace BackupCommand
