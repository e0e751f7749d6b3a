#include "app/SearchSettings.h"

#include "app/modBackup.h"

namespace SearchSettings {

namespace {
const QString kSearchPath = QStringLiteral("SearchPath");
const QString kRecursionLimit = QStringLiteral("RecursionLimit");
}  // namespace

Values Load() {
    using namespace modBackup;
    Values values;
    values.sSearchPath = ReadOption(kSearchPath, HomeFolder());
    values.bUseArchiveFlag = ReadFlagOption(OptArchiveFlag, false);
    values.bNotUseExtFilter = !ReadFlagOption(OptExtFilterSearch, false);
    values.bLimitRecursion = ReadFlagOption(OptLimitRecursion, false);
    values.sLimit = ReadOption(kRecursionLimit, QStringLiteral("5"));
    values.bNoLastBackupDate = false;
    return values;
}

Result<void> PrepareScan(const Values& values) {
    using namespace modBackup;
    SharedState& state = State();
    state.ScanArchiveOnly = values.bUseArchiveFlag;
    Result<void> prepared;
    if (values.bNotUseExtFilter) {
        if (state.Extensions) {
            state.Extensions->RemoveAll();
        }
    } else if (Result<void> loaded = LoadOptionList(state.Extensions, QStringLiteral("Extension"));
               !loaded) {
        prepared = Failure{
            QStringLiteral("Die Dateiendungen, die die Suche auslässt, konnten nicht gelesen "
                           "werden: %1")
                .arg(loaded.Reason())};
    }
    // Without a known last backup every file is new to the backup, not none of them.
    const std::optional<QDateTime> lastBackup =
        values.bNoLastBackupDate ? std::nullopt : ReadStoredLastBackupAt();
    state.ScanChangedOnly = lastBackup.has_value();
    state.ScanSince = lastBackup.value_or(ZeroDate());
    state.ScanRecursionLimit = values.bLimitRecursion ? FolderLevel(values.sLimit) : 0;
    return prepared;
}

Result<void> StoreAndPrepareScan(const Values& values) {
    using namespace modBackup;
    // Each is tried even after one failed; the first reason is told.
    Result<void> stored = WriteOption(kSearchPath, values.sSearchPath);
    const auto keep = [&stored](Result<void> next) {
        if (stored && !next) {
            stored = std::move(next);
        }
    };
    keep(WriteFlagOption(OptArchiveFlag, values.bUseArchiveFlag));
    keep(WriteFlagOption(OptExtFilterSearch, !values.bNotUseExtFilter));
    keep(WriteFlagOption(OptLimitRecursion, values.bLimitRecursion));
    if (values.bLimitRecursion) {
        keep(WriteOption(kRecursionLimit, values.sLimit));
    }
    Result<void> prepared = PrepareScan(values);
    if (!stored) {
        return Failure{QStringLiteral("Die Sucheinstellungen konnten nicht gespeichert werden: %1")
                           .arg(stored.Reason())};
    }
    return prepared;
}

}  // namespace SearchSettings
