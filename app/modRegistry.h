#pragma once
// modRegistry: the three primitives on stored settings values. The two roots are SQLite files:
// HKEY_CURRENT_USER is $XDG_CONFIG_HOME/tarvello/registry.sqlite3 (~/.config/... without the
// variable), HKEY_LOCAL_MACHINE is /etc/xdg/tarvello/registry.sqlite3, opened read only. Key paths
// use backslashes and compare without regard to letter case, as value names do.
//
// Nothing here raises: a value that cannot be read reads as the empty text, a failed write returns
// false.

#include <QString>
#include <optional>

class RegistryStore;

namespace modRegistry {

enum RegRoot : int {
    HKEY_CURRENT_USER = 1,
    HKEY_LOCAL_MACHINE = 2,
};

/// Stores sText as a text value (the empty text as one blank). True when it was written.
bool RegWriteText(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                  const QString& sText);
/// The stored text; a number gives its decimal text. The empty text when the value is missing,
/// of another type, or 1024 bytes or longer (in UTF-8).
QString RegReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName);
/// Deletes one value. True when a value was deleted.
bool RegRemoveValue(RegRoot hRoot, const QString& sKey, const QString& sValueName);

/// As RegReadText, but tells a missing or unreadable value (nullopt) from a stored one.
std::optional<QString> RegTryReadText(RegRoot hRoot, const QString& sKey,
                                      const QString& sValueName);

/// The highest n for which a value sPrefix + n exists under sKey, -1 when none, nullopt when the
/// store cannot be read. Bounds the walk over a stored list whose count is damaged.
std::optional<int64_t> RegHighestIndex(RegRoot hRoot, const QString& sKey, const QString& sPrefix);

/// Runs the primitives called during its lifetime in one transaction of the root's store, so
/// that others see all of them or none. A writing batch takes the store's write lock at once;
/// a reading batch sees one consistent state. Without Commit the writes are rolled back. The
/// stores must not be closed while a batch lives.
class RegBatch {
public:
    RegBatch(RegRoot hRoot, bool bWrite);
    ~RegBatch();
    RegBatch(const RegBatch&) = delete;
    RegBatch& operator=(const RegBatch&) = delete;

    /// False when the transaction could not be started (the store cannot be opened or stays
    /// locked); the primitives then work as without a batch.
    bool Active() const { return active_; }
    /// Commits when every write in the batch succeeded; otherwise rolls back. True when committed.
    bool Commit();

private:
    RegistryStore* store_ = nullptr;
    bool active_ = false;
};

/// The file of a root's store.
QString StorePath(RegRoot hRoot);
/// Test hook: use sPath for that root instead (empty restores the usual place). Closes the store.
void SetStorePath(RegRoot hRoot, const QString& sPath);
/// Closes both stores; the next call opens them again (and picks up a changed XDG_CONFIG_HOME).
void CloseStores();

}  // namespace modRegistry
