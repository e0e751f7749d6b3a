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

void PrepareScan(const Values& values) {
    using namespace modBackup;
    SharedState& state = State();
    state.ScanArchiveOnly = values.bUseArchiveFlag;
    if (values.bNotUseExtFilter) {
        if (state.Extensions) {
            state.Extensions->RemoveAll();
        }
    } else {
        LoadOptionList(state.Extensions, QStringLiteral("Extension"));
    }
    if (values.bNoLastBackupDate) {
        state.ScanChangedOnly = false;
        state.ScanSince = ZeroDate();
    } else {
        state.ScanChangedOnly = true;
        state.ScanSince = ReadLastBackupAt();
    }
    state.ScanRecursionLimit = values.bLimitRecursion ? FolderLevel(values.sLimit) : 0;
}

bool StoreAndPrepareScan(const Values& values) {
    using namespace modBackup;
    bool stored = WriteOption(kSearchPath, values.sSearchPath);
    stored = WriteFlagOption(OptArchiveFlag, values.bUseArchiveFlag) && stored;
    stored = WriteFlagOption(OptExtFilterSearch, !values.bNotUseExtFilter) && stored;
    stored = WriteFlagOption(OptLimitRecursion, values.bLimitRecursion) && stored;
    if (values.bLimitRecursion) {
        stored = WriteOption(kRecursionLimit, values.sLimit) && stored;
    }
    PrepareScan(values);
    return stored;
}

}  // namespace SearchSettings
