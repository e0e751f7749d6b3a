#include "app/modBackup.h"

#include <QDir>
#include <algorithm>

#include "app/modRegistry.h"

namespace modBackup {

namespace {

using modRegistry::HKEY_CURRENT_USER;

const QString kLastBackupAt = QStringLiteral("LastBackupAt");
constexpr auto kDateFormat = "dd.MM.yyyy HH:mm:ss";

QString FlagName(int32_t lIndex) {
    switch (lIndex) {
        case OptArchiveFlag:
            return QStringLiteral("DeleteArchiveFlag");
        case OptExtFilterSearch:
            return QStringLiteral("UseExtensionFilterInSearch");
        case OptExtFilterScan:
            return QStringLiteral("UseExtensionFilterInFolderScan");
        case OptLimitRecursion:
            return QStringLiteral("LimitRecursionInFolders");
        default:
            return QString();
    }
}

std::unique_ptr<SharedState>& StatePtr() {
    static std::unique_ptr<SharedState> state;
    return state;
}

// How many numbered entries a load must read: the stored count, but never past the first missing
// entry after the highest stored one. Beyond it every read gives the empty text again, which can
// change nothing, so a damaged count cannot make the walk run for hours.
int64_t EntriesToRead(const QString& sKey, const QString& sCountName, const QString& sPrefix) {
    const int64_t count =
        LeadingNumber(modRegistry::RegReadText(HKEY_CURRENT_USER, sKey, sCountName));
    const std::optional<int64_t> highest =
        modRegistry::RegHighestIndex(HKEY_CURRENT_USER, sKey, sPrefix);
    return highest ? std::min(count, *highest + 2) : count;
}

// Fills oList from the store; bExistingFilesOnly keeps only paths of existing files.
void LoadList(CListString& oList, const QString& sKey, const QString& sCountName,
              const QString& sPrefix, bool bExistingFilesOnly) {
    // One consistent state of the store, even while another instance saves.
    modRegistry::RegBatch batch(HKEY_CURRENT_USER, false);
    const int64_t count = EntriesToRead(sKey, sCountName, sPrefix);
    oList.RemoveAll();
    FileSystemObject& fso = State().FSO;
    for (int64_t i = 0; i < count; ++i) {
        const QString entry =
            modRegistry::RegReadText(HKEY_CURRENT_USER, sKey, sPrefix + QString::number(i));
        if (bExistingFilesOnly && !fso.FileExists(entry)) {
            continue;
        }
        if (!oList.ValueExists(entry)) {
            oList.Add(entry);
        }
    }
    batch.Commit();
}

// Count first, then the entries, then the surplus removed: all or nothing.
void SaveList(CListString* oList, const QString& sKey, const QString& sCountName,
              const QString& sPrefix) {
    modRegistry::RegBatch batch(HKEY_CURRENT_USER, true);
    if (!batch.Active()) {
        return;  // a save that cannot be made whole is not started
    }
    const int64_t oldCount = EntriesToRead(sKey, sCountName, sPrefix);
    const int32_t newCount = oList != nullptr ? oList->Count() : 0;
    modRegistry::RegWriteText(HKEY_CURRENT_USER, sKey, sCountName, QString::number(newCount));
    if (oList != nullptr) {
        int32_t index = 0;
        for (oList->MoveFirst(); !oList->EOL(); oList->MoveNext()) {
            modRegistry::RegWriteText(HKEY_CURRENT_USER, sKey, sPrefix + QString::number(index),
                                      oList->Data());
            ++index;
        }
    }
    for (int64_t i = newCount; i < oldCount; ++i) {
        modRegistry::RegRemoveValue(HKEY_CURRENT_USER, sKey, sPrefix + QString::number(i));
    }
    batch.Commit();
}

}  // namespace

QDateTime ZeroDate() {
    return QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::LocalTime);
}

SharedState& State() {
    std::unique_ptr<SharedState>& state = StatePtr();
    if (!state) {
        state = std::make_unique<SharedState>();
    }
    return *state;
}

void ResetState() {
    StatePtr().reset();
    modRegistry::CloseStores();
}

QString HomeFolder() {
    return QDir::homePath();
}

QDateTime ReadLastBackupAt() {
    const QString text =
        modRegistry::RegReadText(HKEY_CURRENT_USER, kMainKey, kLastBackupAt).trimmed();
    // The stored form first; a few hand-written forms are welcome too.
    for (const char* format : {kDateFormat, "d.M.yyyy H:mm:ss", "d.M.yyyy H:mm", "d.M.yyyy"}) {
        const QDateTime dt = QDateTime::fromString(text, QString::fromLatin1(format));
        if (dt.isValid()) {
            return dt;
        }
    }
    return QDateTime::currentDateTime();
}

bool WriteLastBackupAt(const QDateTime& dtDate) {
    return modRegistry::RegWriteText(
        HKEY_CURRENT_USER, kMainKey, kLastBackupAt,
        dtDate.toLocalTime().toString(QString::fromLatin1(kDateFormat)));
}

QString ReadOption(const QString& sValueName, const QString& sDefault) {
    const QString text = modRegistry::RegReadText(HKEY_CURRENT_USER, kOptionsKey, sValueName);
    return text.isEmpty() ? sDefault : text;
}

bool WriteOption(const QString& sValueName, const QString& sText) {
    return modRegistry::RegWriteText(HKEY_CURRENT_USER, kOptionsKey, sValueName, sText);
}

bool ReadFlagOption(int32_t lIndex, bool bDefault) {
    const QString name = FlagName(lIndex);
    if (name.isEmpty()) {
        return bDefault;
    }
    const QString text = modRegistry::RegReadText(HKEY_CURRENT_USER, kOptionsKey, name);
    return text.isEmpty() ? bDefault : LeadingNumber(text) >= 1;
}

bool WriteFlagOption(int32_t lIndex, bool bValue) {
    const QString name = FlagName(lIndex);
    if (name.isEmpty()) {
        return false;
    }
    return modRegistry::RegWriteText(HKEY_CURRENT_USER, kOptionsKey, name,
                                     bValue ? QStringLiteral("1") : QStringLiteral("0"));
}

void LoadOptionList(std::unique_ptr<CListString>& oList, const QString& sPrefix) {
    if (!oList) {
        oList = std::make_unique<CListString>();
    }
    LoadList(*oList, kOptionsKey, sPrefix + QStringLiteral("Count"), sPrefix, false);
}

void SaveOptionList(CListString& oList, const QString& sPrefix) {
    SaveList(&oList, kOptionsKey, sPrefix + QStringLiteral("Count"), sPrefix);
}

void LoadBackupList() {
    std::unique_ptr<CListString>& list = State().BackupFiles;
    if (!list) {
        list = std::make_unique<CListString>();
    }
    LoadList(*list, kMainKey, QStringLiteral("Count"), QStringLiteral("File"), true);
}

void SaveBackupList() {
    SaveList(State().BackupFiles.get(), kMainKey, QStringLiteral("Count"), QStringLiteral("File"));
}

}  // namespace modBackup
