#pragma once
// modBackup: the state that every part of the program shares (one visible object, State()), and
// the typed accessors of the stored settings. Every stored setting is read and written through
// these accessors; nothing is cached, every call goes to the store.
//
// Layout of the store (root HKEY_CURRENT_USER):
//   Software\Tarvello\Backup          LastBackupAt, Count, File0 .. File<Count-1>
//   Software\Tarvello\Backup\Options  DefaultPath, SearchPath, RecursionLimit, the four flags,
//                                     EncryptionMethod, ExtensionCount, Extension0..,
//                                     ExcludeFolderCount, ExcludeFolder0..

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/FileSystem.h"
#include "app/LeadingNumber.h"
#include "app/Result.h"
#include "app/ScanFolder.h"
#include "list/CListString.h"

class OwnFiles;

namespace modRegistry {
class RegBatch;
}

namespace modBackup {

inline const QString kMainKey = QStringLiteral("Software\\Tarvello\\Backup");
inline const QString kOptionsKey = QStringLiteral("Software\\Tarvello\\Backup\\Options");

/// Indexes of the yes/no options.
enum FlagOption : int32_t {
    OptArchiveFlag = 1,      // "DeleteArchiveFlag"
    OptExtFilterSearch = 2,  // "UseExtensionFilterInSearch"
    OptExtFilterScan = 3,    // "UseExtensionFilterInFolderScan"
    OptLimitRecursion = 4,   // "LimitRecursionInFolders"
};

/// How a backup with a password encrypts its archive.
enum class EncryptionMethod {
    AES256,  // WinZip AES-256: safe; 7-Zip and the desktop's archive managers read it
    ZIP20,   // the traditional ZIP 2.0: every program reads it, but it is easy to break
};

/// The method as the user reads it: "AES-256" or "ZIP 2.0".
QString EncryptionMethodName(EncryptionMethod eMethod);

/// The date 0: 30.12.1899 00:00:00 local time.
QDateTime ZeroDate();

struct SharedState {
    /// The one file-system object; lives as long as the state.
    FileSystemObject FSO;
    /// The backup list (full paths, empty keys), filled by LoadBackupList.
    std::unique_ptr<CListString> BackupFiles;
    /// Extension patterns that scans leave out; an absent or empty list excludes nothing.
    std::unique_ptr<CListString> Extensions;
    /// Full folder paths that scans do not enter.
    std::unique_ptr<CListString> ExcludeFolders;

    /// Parameters of the next ScanFolder; every caller sets all four right before the call.
    int32_t ScanRecursionLimit = 0;  // 0 or less: no limit
    bool ScanArchiveOnly = false;
    bool ScanChangedOnly = false;
    QDateTime ScanSince = ZeroDate();

    /// ScanFolder's outlets, set by the forms that call it with AddToWindow / ReportToSearch.
    IWindowOutlet* WindowOutlet = nullptr;
    ISearchOutlet* SearchOutlet = nullptr;
    /// Receives every file a scan sees after exclusions, own files and the extension filter,
    /// whether its mark or date makes it taken or not; and every folder the level limit cut, with
    /// everything below it unseen. What a daily run records as the state it backed up.
    std::function<void(const FSOFile&)> PresentOutlet;
    std::function<void(const QString&)> CutOutlet;

    /// The program's own files, which scans leave out; absent: each scan looks them up itself.
    std::shared_ptr<const OwnFiles> Own;
};

SharedState& State();
/// Starts the shared state afresh and closes the stores, so that the next call opens them at the
/// places the environment names now. For tests.
void ResetState();

/// The store calls made while it lives run in one transaction. A reading one sees one consistent
/// state of the store; a writing one takes the write lock at once, and others see all of its
/// writes or none. When it cannot begin (the store exists but another program holds it), Started()
/// says why, and the calls made meanwhile fail at once instead of each waiting for the store.
class StoreTransaction {
public:
    explicit StoreTransaction(bool bWrite);
    ~StoreTransaction();
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;
    const Result<void>& Started() const { return started_; }
    /// Commits when every write in it succeeded; otherwise rolls back. Without Commit, the
    /// writes are rolled back.
    Result<void> Commit();

private:
    std::unique_ptr<modRegistry::RegBatch> batch_;
    Result<void> started_;
};

/// The default of "SearchPath": the user's home folder.
QString HomeFolder();
/// "DefaultPath", the folder archives go to; a new user's is a folder of its own,
/// ArchiveName::DefaultFolder().
QString ReadDefaultPath();

/// The local date and time of these fields. A time that the clocks skip where summer time begins
/// is taken as that long after midnight (02:30 becomes 03:30 summer time, the same moment).
QDateTime LocalMoment(const QDate& dDate, const QTime& tTime);

/// "LastBackupAt"; the current date and time when missing or not a date.
QDateTime ReadLastBackupAt();
/// "LastBackupAt"; nothing when missing or not a date (no backup is known).
std::optional<QDateTime> ReadStoredLastBackupAt();
/// Stores dtDate as "dd.mm.yyyy hh:nn:ss".
Result<void> WriteLastBackupAt(const QDateTime& dtDate);

/// The option's stored text (a single blank included); sDefault when it reads empty.
QString ReadOption(const QString& sValueName, const QString& sDefault);
Result<void> WriteOption(const QString& sValueName, const QString& sText);

/// "EncryptionMethod": "ZIP20" is the traditional method; anything else, a missing value included,
/// is AES-256.
EncryptionMethod ReadEncryptionMethod();
/// Stores "AES256" or "ZIP20".
Result<void> WriteEncryptionMethod(EncryptionMethod eMethod);

/// True when the stored text's leading number rounds to 1 or more; bDefault when the text is
/// empty or lIndex is not 1 to 4.
bool ReadFlagOption(int32_t lIndex, bool bDefault);
/// Stores "1" or "0"; fails (nothing written) for an index outside 1 to 4.
Result<void> WriteFlagOption(int32_t lIndex, bool bValue);

/// The values of a list from its first entry (walked with its cursor); none for an absent list.
QStringList ListValues(CListString* oList);

/// Creates the list when absent, empties it and fills it from sPrefix + "Count" and
/// sPrefix + index, without duplicates. A count that is missing or no number takes every stored
/// entry. Fails (the list empty) when the store exists but could not be read: the caller must then
/// not save the list over the stored one.
Result<void> LoadOptionList(std::unique_ptr<CListString>& oList, const QString& sPrefix);
/// The folders a new user's scans leave out: the cache folder ($XDG_CACHE_HOME, ~/.cache) and the
/// trash ($XDG_DATA_HOME/Trash, ~/.local/share/Trash).
QStringList DefaultExcludeFolders();
/// LoadOptionList of the "ExcludeFolder" entries; DefaultExcludeFolders when no excluded-folder
/// list was ever stored (a list emptied by the user stays empty).
Result<void> LoadExcludeFolders(std::unique_ptr<CListString>& oList);

/// Stores the count and every entry, then deletes the entries beyond the new count, in one
/// transaction. Walks the list with its cursor.
Result<void> SaveOptionList(CListString& oList, const QString& sPrefix);

/// Creates or empties BackupFiles and fills it with the stored paths that name existing files,
/// without duplicates. Entries read back whole up to the longest path the system opens; a count
/// that is missing or no number takes every stored entry. Fails when a store exists but any part
/// of the list could not be read (the list is then empty). pVanished receives the stored paths
/// left out because they name no file.
Result<void> LoadBackupList(QStringList* pVanished = nullptr);
/// The stored backup list as LoadBackupList reads it, without touching BackupFiles, on any thread
/// (through that thread's own connection).
Result<QStringList> ReadStoredBackupList();
/// The stored list followed by the paths of kept it lacks: what a window that could not read the
/// stored list stores once it can, so that neither its own paths nor the stored ones are lost.
QStringList MergedWithStored(const QStringList& stored, const QStringList& kept);
/// Stores BackupFiles ("Count", "File" + index) in one transaction; an absent list stores as empty,
/// and every stored entry beyond the new count goes.
Result<void> SaveBackupList();

/// Stores these paths as the backup list, as SaveBackupList does: a save that may run on another
/// thread (which uses the store through its own connection).
Result<void> SaveBackupListOf(const QStringList& paths);

/// Removes these paths from the stored backup list, in one transaction: paths stored since they
/// were loaded stay, and so does every other; paths that name no file go, as LoadBackupList drops
/// them.
Result<void> RemoveFromStoredBackupList(const QStringList& paths);

/// Gets the settings store ready before the list is loaded: a store file that is no database (or
/// whose schema cannot be read) is moved aside whole under a dated name beside it, so that a new
/// one starts. Returns what the user must be told, in German (where the old file lies now; with
/// bTellReadOnly also that a store on a read-only file system can only be read); empty when
/// there is nothing to tell.
QString PrepareStore(bool bTellReadOnly);

}  // namespace modBackup
