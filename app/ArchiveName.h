#pragma once
// The name of the archive a backup writes: the one proposed for the current minute, and the first
// free one, so that a backup never replaces an earlier one. Plain logic over the file system, for
// the backup dialog and any other caller that starts a backup.

#include <QDateTime>
#include <QString>

namespace ArchiveName {

/// sFolder joined with the minute's name, e.g. "/home/anna/20261207_1405 Backup.zip".
QString Proposed(const QString& sFolder, const QDateTime& dtNow);

/// sPath when nothing of that name exists (not even a dangling link); otherwise the first free
/// one of "name (2).ext", "name (3).ext" ... in the same folder. Empty when none up to (9999) is
/// free.
QString FirstFree(const QString& sPath);

/// Why no archive can be written when FirstFree found no name, in German.
QString NoneFreeText(const QString& sPath);

}  // namespace ArchiveName
