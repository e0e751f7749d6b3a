#pragma once
// The names of the archive a backup writes: the one proposed for the current minute, the first
// free one (so that a backup never replaces an earlier one), the hidden work name under which it
// is written and checked, and the name of one whose check failed. Plain logic over the file
// system, for the backup run, the dialog and sondrel-backup.
//
// A work name is ".<archive's name>.<user id>.unfertig" in the archive's folder: hidden, plainly
// unfinished, and apart for each user of a shared folder. Since a user's backups never run side by
// side, every work file of this user in a folder a run begins in was left by one that died.

#include <QDateTime>
#include <QString>

#include "app/Result.h"

namespace ArchiveName {

/// The folder a new user's archives go to: "Sicherungen" in the home folder, so that a search of
/// the home never meets a folder full of archives at its top.
QString DefaultFolder();

/// Makes sFolder (mode 0700: archives hold private files) when it is the default folder and
/// missing; fails with the system's reason. Any other folder is left as it is.
Result<void> MakeDefaultFolder(const QString& sFolder);

/// Whether an archive can be written into sFolder, with the system's reason when not. The default
/// folder, when missing, is made first (mode 0700: archives hold private files) when bMake is
/// set, and otherwise counts as ready when it could be made.
Result<void> FolderReady(const QString& sFolder, bool bMake);

/// sFolder joined with the minute's name, e.g. "/home/anna/20261207_1405 Backup.zip".
QString Proposed(const QString& sFolder, const QDateTime& dtNow);

/// sPath when nothing of that name exists (not even a dangling link); otherwise the first free
/// one of "name (2).ext", "name (3).ext" ... in the same folder. Empty when none up to (9999) is
/// free.
QString FirstFree(const QString& sPath);

/// Why no archive can be written when FirstFree found no name, in German.
QString NoneFreeText(const QString& sPath);

/// The name that says an archive failed its check: "name (fehlerhaft).ext".
QString Damaged(const QString& sPath);

/// The work name of the archive sPath, in its folder; cut to fit a file name's 255 bytes.
QString WorkName(const QString& sPath);

/// Removes the work files of this user in sFolder (only regular files and links of the work
/// pattern that belong to this user); returns how many.
int RemoveLeftoverWork(const QString& sFolder);

/// Gives the file sFrom the name sWanted, or, when that is taken (also in the very moment of the
/// rename), the next free one after it; a file that exists is never replaced. *sUsed receives the
/// name given. Returns 0 or the errno of the failure (EEXIST when no name up to (9999) is free).
int MoveToFreeName(const QString& sFrom, const QString& sWanted, QString* sUsed);

}  // namespace ArchiveName
