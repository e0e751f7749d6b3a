#include "ui/SearchSettings.h"

#include "app/modBackup.h"
#include "ui/LevelField.h"

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

void StoreAndPrepareScan(const Values& values) {
    using namespace modBackup;
    SharedState& state = State();

    WriteOption(kSearchPath, values.sSearchPath);

    state.ScanArchiveOnly = values.bUseArchiveFlag;
    WriteFlagOption(OptArchiveFlag, values.bUseArchiveFlag);

    if (values.bNotUseExtFilter) {
        if (state.Extensions) {
            state.Extensions->RemoveAll();
        }
        WriteFlagOption(OptExtFilterSearch, false);
    } else {
        LoadOptionList(state.Extensions, QStringLiteral("Extension"));
        WriteFlagOption(OptExtFilterSearch, true);
    }

    if (values.bNoLastBackupDate) {
        state.ScanChangedOnly = false;
        state.ScanSince = ZeroDate();
    } else {
        state.ScanChangedOnly = true;
        state.ScanSince = ReadLastBackupAt();
    }

    if (values.bLimitRecursion) {
        state.ScanRecursionLimit = LevelField::LevelOf(values.sLimit);
        WriteFlagOption(OptLimitRecursion, true);
        WriteOption(kRecursionLimit, values.sLimit);
    } else {
        state.ScanRecursionLimit = 0;
        WriteFlagOption(OptLimitRecursion, false);
    }
}

}  // namespace SearchSettings
