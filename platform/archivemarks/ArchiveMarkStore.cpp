#include "platform/archivemarks/ArchiveMarkStore.h"

#include <sqlite3.h>

#include "platform/StoreFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

namespace {

void BindPath(sqlite3_stmt* stmt, std::string_view sPath) {
    sqlite3_bind_text(stmt, 1, sPath.data(), static_cast<int>(sPath.size()), SQLITE_TRANSIENT);
}

void Done(sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}

}  // namespace

ArchiveMarkStore::ArchiveMarkStore(std::string sFilePath, int busyTimeoutMs)
    : path_(std::move(sFilePath)), busyTimeoutMs_(busyTimeoutMs) {}

ArchiveMarkStore::~ArchiveMarkStore() {
    Close();
}

void ArchiveMarkStore::Close() {
    for (sqlite3_stmt** stmt : {&select_, &upsert_, &delete_}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    writable_ = false;
    inBatch_ = false;
}

bool ArchiveMarkStore::BeginBatch() {
    if (inBatch_ || !Open(true)) {
        return false;
    }
    inBatch_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    return inBatch_;
}

bool ArchiveMarkStore::EndBatch() {
    if (!inBatch_) {
        return true;
    }
    inBatch_ = false;
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool ArchiveMarkStore::Open(bool bForWrite) {
    if (db_ != nullptr && (writable_ || !bForWrite)) {
        return true;
    }
    Close();
    if (!StoreFile::Exists(path_) && (!bForWrite || !StoreFile::MakeParentFolders(path_))) {
        return false;
    }
    const int flags = bForWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    auto exec = [this](const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
    if (!exec("SELECT count(*) FROM sqlite_schema")) {
        Close();
        return false;
    }
    if (bForWrite) {
        // A lost last record only makes a file look unsaved, so commits need not wait for the disk.
        if (sqlite3_db_readonly(db_, "main") != 0 || !exec("PRAGMA journal_mode=WAL") ||
            !exec("PRAGMA synchronous=NORMAL") ||
            !exec("CREATE TABLE IF NOT EXISTS archive_marks("
                  " path TEXT PRIMARY KEY, dev INTEGER, ino INTEGER, size INTEGER,"
                  " mtime_ns INTEGER, ctime_ns INTEGER)")) {
            Close();
            return false;
        }
        writable_ = true;
    }
    return true;
}

bool ArchiveMarkStore::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t ArchiveMarkStore::DropVanished(int64_t lNowSecs) {
    if (!StoreFile::Exists(path_) && db_ == nullptr) {
        return 0;  // no store, no records
    }
    if (!Open(true)) {
        return -1;
    }
    const bool ownTransaction = !inBatch_;
    if (ownTransaction && !Exec("BEGIN IMMEDIATE")) {
        return -1;
    }
    const int64_t dropped = DropVanishedInTransaction(lNowSecs);
    if (ownTransaction && (dropped < 0 || !Exec("COMMIT"))) {
        Exec("ROLLBACK");
        return -1;
    }
    return dropped;
}

int64_t ArchiveMarkStore::DropVanishedInTransaction(int64_t lNowSecs) {
    if (!Exec("CREATE TABLE IF NOT EXISTS archive_marks_meta(name TEXT PRIMARY KEY,"
              " value INTEGER)")) {
        return -1;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT value FROM archive_marks_meta WHERE name = 'dropped_at'",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return -1;
    }
    const bool ranLately = sqlite3_step(stmt) == SQLITE_ROW &&
                           lNowSecs >= sqlite3_column_int64(stmt, 0) &&
                           lNowSecs - sqlite3_column_int64(stmt, 0) < kDropIntervalSecs;
    sqlite3_finalize(stmt);
    if (ranLately) {
        return 0;
    }

    std::vector<std::string> vanished;
    if (sqlite3_prepare_v2(db_, "SELECT path FROM archive_marks", -1, &stmt, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(stmt);
        return -1;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
        std::string path(bytes != nullptr ? bytes : "",
                         static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
        struct stat st {};
        // Only a path that names nothing: a file that cannot be looked at keeps its record.
        if (::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
            vanished.push_back(std::move(path));
        }
    }
    sqlite3_finalize(stmt);
    for (const std::string& path : vanished) {
        if (!Set(path)) {
            return -1;
        }
    }

    if (sqlite3_prepare_v2(db_,
                           "INSERT OR REPLACE INTO archive_marks_meta(name, value)"
                           " VALUES('dropped_at', ?1)",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return -1;
    }
    sqlite3_bind_int64(stmt, 1, lNowSecs);
    const bool noted = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
    return noted ? static_cast<int64_t>(vanished.size()) : -1;
}

bool ArchiveMarkStore::IsSet(std::string_view sPath, const Signature& sig) {
    if (!Open(false)) {
        return true;
    }
    if (select_ == nullptr &&
        sqlite3_prepare_v3(db_,
                           "SELECT dev, ino, size, mtime_ns, ctime_ns FROM archive_marks"
                           " WHERE path = ?1",
                           -1, SQLITE_PREPARE_PERSISTENT, &select_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(select_);
        select_ = nullptr;
        return true;
    }
    BindPath(select_, sPath);
    bool set = true;
    if (sqlite3_step(select_) == SQLITE_ROW) {
        Signature stored;
        stored.dev = static_cast<uint64_t>(sqlite3_column_int64(select_, 0));
        stored.ino = static_cast<uint64_t>(sqlite3_column_int64(select_, 1));
        stored.size = sqlite3_column_int64(select_, 2);
        stored.mtimeNs = sqlite3_column_int64(select_, 3);
        stored.ctimeNs = sqlite3_column_int64(select_, 4);
        set = !(stored == sig);
    }
    Done(select_);
    return set;
}

bool ArchiveMarkStore::Clear(std::string_view sPath, const Signature& sig) {
    if (!Open(true)) {
        return false;
    }
    if (upsert_ == nullptr &&
        sqlite3_prepare_v3(db_,
                           "INSERT OR REPLACE INTO archive_marks"
                           "(path, dev, ino, size, mtime_ns, ctime_ns)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                           -1, SQLITE_PREPARE_PERSISTENT, &upsert_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(upsert_);
        upsert_ = nullptr;
        return false;
    }
    BindPath(upsert_, sPath);
    sqlite3_bind_int64(upsert_, 2, static_cast<int64_t>(sig.dev));
    sqlite3_bind_int64(upsert_, 3, static_cast<int64_t>(sig.ino));
    sqlite3_bind_int64(upsert_, 4, sig.size);
    sqlite3_bind_int64(upsert_, 5, sig.mtimeNs);
    sqlite3_bind_int64(upsert_, 6, sig.ctimeNs);
    const bool ok = sqlite3_step(upsert_) == SQLITE_DONE;
    Done(upsert_);
    return ok;
}

bool ArchiveMarkStore::Set(std::string_view sPath) {
    if (!StoreFile::Exists(path_) && db_ == nullptr) {
        return true;  // no store, no record
    }
    if (!Open(true)) {
        return false;
    }
    if (delete_ == nullptr &&
        sqlite3_prepare_v3(db_, "DELETE FROM archive_marks WHERE path = ?1", -1,
                           SQLITE_PREPARE_PERSISTENT, &delete_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(delete_);
        delete_ = nullptr;
        return false;
    }
    BindPath(delete_, sPath);
    const bool ok = sqlite3_step(delete_) == SQLITE_DONE;
    Done(delete_);
    return ok;
}
