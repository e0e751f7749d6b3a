#pragma once
// modRegistry: the three primitives on stored settings values. The two roots are SQLite files:
// HKEY_CURRENT_USER is $XDG_CONFIG_HOME/tarvello/registry.sqlite3 (~/.config/... without the
// variable), HKEY_LOCAL_MACHINE is /etc/xdg/tarvello/registry.sqlite3, opened read only. Key paths
// use backslashes and compare without regard to letter case, as value names do.
//
// Nothing here raises: a value that cannot be read reads as the empty text, a failed write returns
// false. Each thread works through its own connection to a store (opened on first use, closed
// when the thread ends); batches and failure reasons belong to the calling thread.

#include <QDateTime>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/Result.h"

class RegistryStore;

namespace modRegistry {

enum RegRoot : int {
    HKEY_CURRENT_USER = 1,
    HKEY_LOCAL_MACHINE = 2,
};

/// The read buffer of a value, its terminating zero included: a text of 1024 bytes or more reads
/// empty.
inline constexpr size_t kReadBufferSize = 1024;
/// The read buffer of a stored path: the longest path the system opens (4095 bytes), every byte of
/// it escaped (three bytes each in the stored text; see NativePath.h).
inline constexpr size_t kPathReadBufferSize = 3 * 4096;

/// Stores sText as a text value (the empty text as one blank). True when it was written.
bool RegWriteText(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                  const QString& sText);
/// The stored text; a number gives its decimal text. The empty text when the value is missing,
/// of another type, or 1024 bytes or longer (in UTF-8).
QString RegReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName);
/// Deletes one value. True when a value was deleted.
bool RegRemoveValue(RegRoot hRoot, const QString& sKey, const QString& sValueName);

/// As RegReadText, but tells a missing or unreadable value (nullopt) from a stored one; the value
/// must fit lBufferSize bytes with its terminating zero. *pFailed (when given) tells whether the
/// store itself could not be read, as against a value that is missing or does not fit.
std::optional<QString> RegTryReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                                      size_t lBufferSize = kReadBufferSize,
                                      bool* pFailed = nullptr);

/// The stored values sPrefix + n under sKey for n from 0 to lCount - 1 (n in decimal without
/// leading zeros, the name's letter case ignored), in the order of n, each read as RegTryReadText
/// reads it (nullopt when it cannot be read). One query, however large lCount is; none without a
/// store; nullopt when the store exists but cannot be read.
using NumberedTexts = std::vector<std::pair<int32_t, std::optional<QString>>>;
std::optional<NumberedTexts> RegReadNumbered(RegRoot hRoot, const QString& sKey,
                                             const QString& sPrefix, int32_t lCount,
                                             size_t lBufferSize = kReadBufferSize);

/// The types a stored value may have.
enum RegType : int32_t {
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
};
/// A stored value as a read of the registry hands it over: its type, a text's characters (all of
/// its bytes, as UTF-8) or a number's value.
struct RegValue {
    int32_t lType = 0;
    QString sText;
    int64_t lNumber = 0;
};
/// The stored value, when it fits a read buffer of lBufferSize bytes (a number takes 4, a text
/// its bytes and a terminating zero, other data its bytes); nullopt when it is missing, cannot be
/// read or does not fit.
std::optional<RegValue> RegQueryValue(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                                      size_t lBufferSize);

/// Why the last read, write, deletion or batch of that root's store failed, in German ("der
/// Datenträger ist voll"); empty after a successful write.
QString RegProblemText(RegRoot hRoot);

/// What a root's store file is before it is used.
enum class StoreState {
    Missing,     // nothing stored yet
    Usable,      // read and written as usual
    ReadOnly,    // readable, on a file system mounted read only: every write fails
    Damaged,     // no SQLite database, or not even its schema can be read
    Unreadable,  // locked, a folder, no permission ...: RegProblemText says why
};
StoreState CheckStore(RegRoot hRoot);
/// Renames a damaged store, whole and with its log files, to "<file>.beschädigt-yyyyMMdd-HHmm"
/// beside it (never over another file), so that the next write starts a new store. Its new path.
Result<QString> MoveStoreAside(RegRoot hRoot, const QDateTime& dtNow);
/// The name's tail of a damaged store moved aside, as the file system takes it:
/// ".beschädigt-yyyyMMdd-HHmm" (the settings and the archive marks alike).
std::string DamagedSuffix(const QDateTime& dtNow);

/// Runs the primitives called during its lifetime in one transaction of the root's store, so
/// that others see all of them or none. A writing batch takes the store's write lock at once;
/// a reading batch sees one consistent state. Without Commit the writes are rolled back. A batch
/// begun inside another joins it (a writing one only a writing one). The stores must not be
/// closed while a batch lives.
class RegBatch {
public:
    RegBatch(RegRoot hRoot, bool bWrite);
    ~RegBatch();
    RegBatch(const RegBatch&) = delete;
    RegBatch& operator=(const RegBatch&) = delete;

    /// False when the transaction could not be started (the store cannot be opened or stays
    /// locked); the primitives then work as without a batch.
    bool Active() const { return active_; }
    /// True when the store exists but the transaction could not be started: whatever the
    /// primitives would read now cannot be trusted to be whole, and until the batch ends they
    /// fail at once instead of waiting for the store again.
    bool Failed() const { return failed_; }
    /// Commits when every write in the batch succeeded; otherwise rolls back. True when committed.
    bool Commit();

private:
    RegistryStore* store_ = nullptr;
    bool active_ = false;
    bool failed_ = false;
};

/// The file of a root's store.
QString StorePath(RegRoot hRoot);
/// Test hook: use sPath for that root instead (empty restores the usual place). Closes the store.
/// Only while no other thread uses the stores.
void SetStorePath(RegRoot hRoot, const QString& sPath);
/// Closes both stores of the calling thread; the next call opens them again (and picks up a
/// changed XDG_CONFIG_HOME).
void CloseStores();

}  // namespace modRegistry
