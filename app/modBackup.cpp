#include "app/modBackup.h"

#include <QDir>
#include <QSet>
#include <algorithm>
#include <limits>

#include "app/ArchiveName.h"
#include "app/NativePath.h"
#include "app/modRegistry.h"

namespace modBackup {

namespace {

using modRegistry::HKEY_CURRENT_USER;

const QString kLastBackupAt = QStringLiteral("LastBackupAt");
const QString kEncryptionMethod = QStringLiteral("EncryptionMethod");
const QString kZip20 = QStringLiteral("ZIP20");
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

// The store's file and why the calling thread's last call failed.
Failure StoreFailure() {
    return Failure{QStringLiteral("„%1“: %2")
                       .arg(DisplayPath(modRegistry::StorePath(HKEY_CURRENT_USER)),
                            modRegistry::RegProblemText(HKEY_CURRENT_USER))};
}

Result<void> Written(bool bWritten) {
    if (!bWritten) {
        return StoreFailure();
    }
    return {};
}

std::unique_ptr<SharedState>& StatePtr() {
    static std::unique_ptr<SharedState> state;
    return state;
}

// The entries a stored list has, in number order: those below its count, or, when the count is
// missing or no number (a damaged store), every stored entry, so that none is lost. nullopt when
// the store could not be read.
std::optional<modRegistry::NumberedTexts> ReadStoredList(const QString& sKey,
                                                         const QString& sCountName,
                                                         const QString& sPrefix, size_t lBufferSize,
                                                         int32_t* pCount) {
    bool failed = false;
    const std::optional<QString> countText = modRegistry::RegTryReadText(
        HKEY_CURRENT_USER, sKey, sCountName, modRegistry::kReadBufferSize, &failed);
    if (failed) {
        return std::nullopt;
    }
    const std::optional<int32_t> stated =
        countText ? LeadingNumberIfAny(*countText) : std::optional<int32_t>();
    const int32_t count = stated && *stated >= 0 ? *stated : std::numeric_limits<int32_t>::max();
    auto entries =
        modRegistry::RegReadNumbered(HKEY_CURRENT_USER, sKey, sPrefix, count, lBufferSize);
    if (entries && count == std::numeric_limits<int32_t>::max()) {
        *pCount = entries->empty() ? 0 : entries->back().first + 1;
    } else {
        *pCount = count;
    }
    return entries;
}

// Fills oList as the walk over the entries 0 to Count - 1 does, reading only the stored ones:
// a run of missing entries reads as one empty text, since reading it again changes nothing.
// Fails (and the list is empty) when any part of the stored list could not be read.
Result<void> LoadList(CListString& oList, const QString& sKey, const QString& sCountName,
                      const QString& sPrefix, bool bExistingFilesOnly, size_t lBufferSize,
                      QStringList* pVanished = nullptr) {
    oList.RemoveAll();
    // One consistent state of the store, even while another instance saves.
    modRegistry::RegBatch batch(HKEY_CURRENT_USER, false);
    if (batch.Failed()) {
        return StoreFailure();  // each read after it would wait for the lock once more
    }
    int32_t count = 0;
    const std::optional<modRegistry::NumberedTexts> entries =
        ReadStoredList(sKey, sCountName, sPrefix, lBufferSize, &count);
    if (!entries) {
        return StoreFailure();
    }
    // Only stat: a list may be read on any thread.
    const FileSystemObject fso;
    const auto take = [&](const QString& entry) {
        if (bExistingFilesOnly && !fso.FileExists(entry)) {
            if (pVanished != nullptr && !entry.trimmed().isEmpty()) {
                pVanished->append(entry);
            }
            return;
        }
        if (!oList.ValueExists(entry)) {
            oList.Add(entry);
        }
    };
    int64_t next = 0;
    for (const auto& [index, text] : *entries) {
        if (index > next) {
            take(QString());
        }
        take(text.value_or(QString()));
        next = int64_t{index} + 1;
    }
    if (next < count) {
        take(QString());
    }
    batch.Commit();
    return {};
}

// Count first, then the entries, then every stored entry beyond the new count removed (also
// those a damaged count had left behind): all or nothing.
Result<void> SaveList(const QStringList& values, const QString& sKey, const QString& sCountName,
                      const QString& sPrefix) {
    modRegistry::RegBatch batch(HKEY_CURRENT_USER, true);
    if (!batch.Active()) {
        return StoreFailure();  // a save that cannot be made whole is not started
    }
    const std::optional<modRegistry::NumberedTexts> stored = modRegistry::RegReadNumbered(
        HKEY_CURRENT_USER, sKey, sPrefix, std::numeric_limits<int32_t>::max());
    if (!stored) {
        return StoreFailure();
    }
    const auto newCount = static_cast<int32_t>(values.size());
    modRegistry::RegWriteText(HKEY_CURRENT_USER, sKey, sCountName, QString::number(newCount));
    for (int32_t index = 0; index < newCount; ++index) {
        modRegistry::RegWriteText(HKEY_CURRENT_USER, sKey, sPrefix + QString::number(index),
                                  values[index]);
    }
    for (const auto& entry : *stored) {
        if (entry.first >= newCount) {
            modRegistry::RegRemoveValue(HKEY_CURRENT_USER, sKey,
                                        sPrefix + QString::number(entry.first));
        }
    }
    return Written(batch.Commit());
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

StoreTransaction::StoreTransaction(bool bWrite)
    : batch_(std::make_unique<modRegistry::RegBatch>(HKEY_CURRENT_USER, bWrite)) {
    // A missing store is no failure of a reading one: there is nothing to read yet.
    if (batch_->Failed() || (bWrite && !batch_->Active())) {
        started_ = StoreFailure();
    }
}

StoreTransaction::~StoreTransaction() = default;

Result<void> StoreTransaction::Commit() {
    if (!started_) {
        return started_;
    }
    if (!batch_->Active()) {
        return {};  // a reading one over no store: nothing to end
    }
    return Written(batch_->Commit());
}

QString HomeFolder() {
    return QDir::homePath();
}

QString ReadDefaultPath() {
    return ReadOption(QStringLiteral("DefaultPath"), ArchiveName::DefaultFolder());
}

QDateTime LocalMoment(const QDate& dDate, const QTime& tTime) {
    QDateTime dt(dDate, tTime, Qt::LocalTime);
    if (dt.isValid() || !dDate.isValid() || !tTime.isValid()) {
        return dt;
    }
    return dDate.startOfDay().addSecs(QTime(0, 0).secsTo(tTime));
}

std::optional<QDateTime> ReadStoredLastBackupAt() {
    const QString text =
        modRegistry::RegReadText(HKEY_CURRENT_USER, kMainKey, kLastBackupAt).trimmed();
    // The stored form first; a few hand-written forms are welcome too.
    for (const char* format : {kDateFormat, "d.M.yyyy H:mm:ss", "d.M.yyyy H:mm", "d.M.yyyy"}) {
        const QDateTime dt = QDateTime::fromString(text, QString::fromLatin1(format));
        if (dt.isValid()) {
            return dt;
        }
    }
    // The parser refuses a time that the clocks skipped; the fields are still a moment.
    const QDateTime skipped =
        LocalMoment(QDate::fromString(text.left(10), QStringLiteral("dd.MM.yyyy")),
                    QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss")));
    if (skipped.isValid() && text.size() == 19) {
        return skipped;
    }
    return std::nullopt;
}

QDateTime ReadLastBackupAt() {
    return ReadStoredLastBackupAt().value_or(QDateTime::currentDateTime());
}

Result<void> WriteLastBackupAt(const QDateTime& dtDate) {
    return Written(
        modRegistry::RegWriteText(HKEY_CURRENT_USER, kMainKey, kLastBackupAt,
                                  dtDate.toLocalTime().toString(QString::fromLatin1(kDateFormat))));
}

QString ReadOption(const QString& sValueName, const QString& sDefault) {
    const QString text = modRegistry::RegReadText(HKEY_CURRENT_USER, kOptionsKey, sValueName);
    return text.isEmpty() ? sDefault : text;
}

Result<void> WriteOption(const QString& sValueName, const QString& sText) {
    return Written(modRegistry::RegWriteText(HKEY_CURRENT_USER, kOptionsKey, sValueName, sText));
}

QString EncryptionMethodName(EncryptionMethod eMethod) {
    return eMethod == EncryptionMethod::ZIP20 ? QStringLiteral("ZIP 2.0")
                                              : QStringLiteral("AES-256");
}

EncryptionMethod ReadEncryptionMethod() {
    return ReadOption(kEncryptionMethod, QString()) == kZip20 ? EncryptionMethod::ZIP20
                                                              : EncryptionMethod::AES256;
}

Result<void> WriteEncryptionMethod(EncryptionMethod eMethod) {
    return WriteOption(kEncryptionMethod,
                       eMethod == EncryptionMethod::ZIP20 ? kZip20 : QStringLiteral("AES256"));
}

bool ReadFlagOption(int32_t lIndex, bool bDefault) {
    const QString name = FlagName(lIndex);
    if (name.isEmpty()) {
        return bDefault;
    }
    const QString text = modRegistry::RegReadText(HKEY_CURRENT_USER, kOptionsKey, name);
    return text.isEmpty() ? bDefault : LeadingNumber(text) >= 1;
}

Result<void> WriteFlagOption(int32_t lIndex, bool bValue) {
    const QString name = FlagName(lIndex);
    if (name.isEmpty()) {
        return Failure{QStringLiteral("keine Option mit der Nummer %1").arg(lIndex)};
    }
    return Written(modRegistry::RegWriteText(HKEY_CURRENT_USER, kOptionsKey, name,
                                             bValue ? QStringLiteral("1") : QStringLiteral("0")));
}

Result<void> LoadOptionList(std::unique_ptr<CListString>& oList, const QString& sPrefix) {
    if (!oList) {
        oList = std::make_unique<CListString>();
    }
    return LoadList(*oList, kOptionsKey, sPrefix + QStringLiteral("Count"), sPrefix, false,
                    modRegistry::kReadBufferSize);
}

QStringList DefaultExcludeFolders() {
    // The variables as the freedesktop base directories define them: absolute, else ignored.
    const auto xdg = [](const char* name, const QString& sFallback) {
        const QString value = qEnvironmentVariable(name);
        return QDir::isAbsolutePath(value) ? FullPath(value) : HomeFolder() + sFallback;
    };
    return {xdg("XDG_CACHE_HOME", QStringLiteral("/.cache")),
            xdg("XDG_DATA_HOME", QStringLiteral("/.local/share")) + QStringLiteral("/Trash")};
}

Result<void> LoadExcludeFolders(std::unique_ptr<CListString>& oList) {
    const QString sPrefix = QStringLiteral("ExcludeFolder");
    if (Result<void> loaded = LoadOptionList(oList, sPrefix); !loaded) {
        return loaded;
    }
    bool failed = false;
    const bool bStored = modRegistry::RegTryReadText(HKEY_CURRENT_USER, kOptionsKey,
                                                     sPrefix + QStringLiteral("Count"),
                                                     modRegistry::kReadBufferSize, &failed)
                             .has_value();
    if (!bStored && !failed && oList->Count() == 0) {
        for (const QString& sFolder : DefaultExcludeFolders()) {
            if (!oList->ValueExists(sFolder)) {
                oList->Add(sFolder);
            }
        }
    }
    return {};
}

QStringList ListValues(CListString* oList) {
    QStringList values;
    if (oList != nullptr) {
        values.reserve(oList->Count());
        for (oList->MoveFirst(); !oList->EOL(); oList->MoveNext()) {
            values.append(oList->Data());
        }
    }
    return values;
}

Result<void> SaveOptionList(CListString& oList, const QString& sPrefix) {
    return SaveList(ListValues(&oList), kOptionsKey, sPrefix + QStringLiteral("Count"), sPrefix);
}

Result<void> LoadBackupList(QStringList* pVanished) {
    std::unique_ptr<CListString>& list = State().BackupFiles;
    if (!list) {
        list = std::make_unique<CListString>();
    }
    return LoadList(*list, kMainKey, QStringLiteral("Count"), QStringLiteral("File"), true,
                    modRegistry::kPathReadBufferSize, pVanished);
}

Result<QStringList> ReadStoredBackupList() {
    CListString stored;
    if (Result<void> loaded =
            LoadList(stored, kMainKey, QStringLiteral("Count"), QStringLiteral("File"), true,
                     modRegistry::kPathReadBufferSize);
        !loaded) {
        return Failure{loaded.Reason()};
    }
    return ListValues(&stored);
}

QStringList MergedWithStored(const QStringList& stored, const QStringList& kept) {
    QStringList merged = stored;
    const QSet<QString> known(stored.begin(), stored.end());
    for (const QString& path : kept) {
        if (!known.contains(path)) {
            merged.append(path);
        }
    }
    return merged;
}

Result<void> SaveBackupList() {
    return SaveBackupListOf(ListValues(State().BackupFiles.get()));
}

Result<void> SaveBackupListOf(const QStringList& paths) {
    return SaveList(paths, kMainKey, QStringLiteral("Count"), QStringLiteral("File"));
}

Result<void> RemoveFromStoredBackupList(const QStringList& paths) {
    StoreTransaction transaction(true);
    if (!transaction.Started()) {
        return transaction.Started();
    }
    CListString stored;
    if (Result<void> loaded =
            LoadList(stored, kMainKey, QStringLiteral("Count"), QStringLiteral("File"), true,
                     modRegistry::kPathReadBufferSize);
        !loaded) {
        return loaded;
    }
    const QSet<QString> removed(paths.begin(), paths.end());
    QStringList kept;
    for (const QString& path : ListValues(&stored)) {
        if (!removed.contains(path)) {
            kept.append(path);
        }
    }
    if (Result<void> saved = SaveBackupListOf(kept); !saved) {
        return saved;
    }
    return transaction.Commit();
}

QString PrepareStore(bool bTellReadOnly) {
    const QString sFile = DisplayPath(modRegistry::StorePath(HKEY_CURRENT_USER));
    switch (modRegistry::CheckStore(HKEY_CURRENT_USER)) {
        case modRegistry::StoreState::Damaged: {
            const Result<QString> moved =
                modRegistry::MoveStoreAside(HKEY_CURRENT_USER, QDateTime::currentDateTime());
            if (!moved) {
                return QStringLiteral(
                           "Die Einstellungsdatei „%1“ ist beschädigt und konnte nicht "
                           "beiseitegelegt werden: %2.")
                    .arg(sFile, moved.Reason());
            }
            return QStringLiteral(
                       "Die Einstellungsdatei „%1“ war beschädigt (keine lesbare "
                       "SQLite-Datenbank). Sie liegt unverändert unter „%2“; Sondrel beginnt "
                       "mit einer neuen, leeren Dateiliste und den voreingestellten Optionen.")
                .arg(sFile, DisplayPath(*moved));
        }
        case modRegistry::StoreState::ReadOnly:
            if (bTellReadOnly) {
                return QStringLiteral(
                           "Die Einstellungsdatei „%1“ liegt auf einem schreibgeschützten "
                           "Dateisystem: die Dateiliste wird gezeigt, aber Änderungen können "
                           "nicht gespeichert werden.")
                    .arg(sFile);
            }
            return QString();
        default:
            return QString();
    }
}

}  // namespace modBackup
