#pragma once
// The change search's settings as plain values: read from the store when the search dialog opens,
// and at a search start stored and turned into the scan parameters, so that the dialog only moves
// values between its controls and these functions. sondrel-backup --search turns the stored
// values into the very same scan parameters.

#include <QString>

#include "app/Result.h"

namespace SearchSettings {

struct Values {
    QString sSearchPath;             // start folder
    bool bUseArchiveFlag = false;    // only files whose archive mark is set
    bool bNotUseExtFilter = true;    // leave the stored extension patterns out
    bool bNoLastBackupDate = false;  // also files changed before the last backup
    bool bLimitRecursion = false;    // limit the folder levels ...
    QString sLimit;                  // ... to this level text (1 to 99)
};

/// What the dialog shows when it opens. bNoLastBackupDate is never stored and reads false.
Values Load();

/// Sets all four scan parameters and Extensions for a search with these values: the archive-mark
/// condition, the stored extension patterns or none, the date condition from the stored
/// last-backup time (none when no backup is stored: every file then qualifies), the level limit.
/// Stores nothing. Fails (with every parameter set all the same, and no extension left out) when
/// the stored extension patterns could not be read.
Result<void> PrepareScan(const Values& values);

/// The start of a search in the dialog: stores the start folder and flags 1, 2 and 4 (and
/// "RecursionLimit" only with the limit on), then PrepareScan. Fails with a whole sentence when a
/// value could not be stored or PrepareScan failed (the scan parameters are set all the same).
Result<void> StoreAndPrepareScan(const Values& values);

}  // namespace SearchSettings
