#pragma once
// The change search's settings as plain values: read from the store when the dialog opens, and
// at a search start stored and turned into the scan parameters, so that the dialog only moves
// values between its controls and these functions.

#include <QString>

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

/// The start of a search, in this order: stores the start folder and flag 1, fills or empties
/// Extensions and stores flag 2, sets the date condition from the stored last-backup time, sets
/// the level limit and stores flag 4 (and "RecursionLimit" only with the limit on). All four scan
/// parameters are set.
void StoreAndPrepareScan(const Values& values);

}  // namespace SearchSettings
