#pragma once
// The change search of sondrel-backup --search, which the daily timer runs, by one of two rules:
// - the archive mark: every file whose mark is set, that is every file that is new, rewritten,
//   moved, renamed, copied or unpacked since its last backup, whatever its modification time.
//   The run that backs them up clears their marks, so the first run takes everything and each
//   later one what changed since;
// - the date: every file modified since the stored last backup (every file when none is stored);
//   a moved, copied or unpacked file keeps its old time and is not found.
// Both take the search dialog's stored start folder, extension filter and level limit and the
// options' excluded folders.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

#include "app/Result.h"

namespace modBackup {
class ISearchOutlet;
}

namespace DailySearch {

enum class Rule { ArchiveMark, Date };

/// The rule the options store ("DailySearchByArchiveMark"): the archive mark unless the user chose
/// the date.
Rule StoredRule();
Result<void> StoreRule(Rule rule);

struct Found {
    Rule rule = Rule::ArchiveMark;
    QString sFolder;  // the start folder
    /// The date rule's last backup; none when none is stored (every file is taken then).
    std::optional<QDateTime> since;
    int64_t lFound = 0;  // files the search added to the backup list
    /// What the user must be told when the archive marks could not be read, and what the search
    /// took instead; empty when they could.
    QString sMarksProblem;
    /// What the search left out at its level limit; empty when nothing.
    QString sLevelNote;
    /// The state record's text (StateRecord.h): every file the search saw, taken or not.
    QByteArray stateRecord;
};

/// Searches by rule into State().BackupFiles and reports every file it adds to outlet. Fails with
/// a German sentence when the start folder does not exist or a stored list could not be read.
/// Marks that cannot be read lose no file: the archive-mark rule then takes every file below the
/// start folder, the date rule leaves the mark condition out. With bRepair a damaged mark store
/// is moved aside first (beside it, under a dated name), so that this backup starts a new one.
Result<Found> Run(Rule rule, modBackup::ISearchOutlet& outlet, bool bRepair);

/// How the search went, for the run's summary: "Suche nach Archivmarke in /x: 2 Dateien gefunden."
QString FoundText(const Found& found);
/// Why a run whose search found nothing, with an empty list, has nothing to back up.
QString NothingFoundText(const Found& found);

}  // namespace DailySearch
