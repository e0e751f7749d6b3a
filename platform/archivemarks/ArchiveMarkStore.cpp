#include "platform/archivemarks/ArchiveMarkStore.h"

#include <sqlite3.h>

#include "platform/StoreFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <functional>
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

// The records below one folder, laid out for a million of them: the paths (without the folder's
// part) back to back in one buffer, the records in one array, chained per hash bucket by index.
struct ArchiveMarkStore::Snapshot {
    struct Record {
        uint64_t offset = 0;
        uint32_t length = 0;
        uint32_t next = 0;  // index + 1 of the next record in the bucket; 0 ends the chain
        Signature sig;
    };

    std::string prefix;  // the folder's path and "/"
    std::string names;
    std::vector<Record> records;
    std::vector<uint32_t> buckets;  // index + 1 of the bucket's first record; 0: none

    static size_t Hash(std::string_view s) { return std::hash<std::string_view>{}(s); }
    std::string_view Name(const Record& r) const {
        return std::string_view(names).substr(r.offset, r.length);
    }

    void Index() {
        size_t size = 16;
        while (size < records.size()) {
            size *= 2;
        }
        buckets.assign(size, 0);
        for (size_t i = 0; i < records.size(); ++i) {
            uint32_t& head = buckets[Hash(Name(records[i])) & (size - 1)];
            records[i].next = head;
            head = static_cast<uint32_t>(i + 1);
        }
    }

    const Signature* Find(std::string_view rest) const {
        for (uint32_t i = buckets[Hash(rest) & (buckets.size() - 1)]; i != 0;
             i = records[i - 1].next) {
            if (Name(records[i - 1]) == rest) {
                return &records[i - 1].sig;
            }
        }
        return nullptr;
    }
};

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
    problemCode_ = SQLITE_CANTOPEN;
    problemErrno_ = 0;
    if (!StoreFile::Exists(path_) && (!bForWrite || !StoreFile::MakeParentFolders(path_))) {
        problemErrno_ = errno;
        return false;
    }
    // One connection per object, and one object per thread: no lock around every call.
    const int flags =
        (bForWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
        SQLITE_OPEN_NOMUTEX;
    auto exec = [this](const char* sql) {
        problemCode_ = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        return problemCode_ == SQLITE_OK;
    };
    auto fail = [this] {
        problemErrno_ = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
        Close();
        return false;
    };
    problemCode_ = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (problemCode_ != SQLITE_OK) {
        return fail();
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
    if (!exec("SELECT count(*) FROM sqlite_schema")) {
        return fail();
    }
    if (bForWrite) {
        // A lost last record only makes a file look unsaved, so commits need not wait for the disk.
        if (sqlite3_db_readonly(db_, "main") != 0 || !exec("PRAGMA journal_mode=WAL") ||
            !exec("PRAGMA synchronous=NORMAL") ||
            !exec("CREATE TABLE IF NOT EXISTS archive_marks("
                  " path TEXT PRIMARY KEY, dev INTEGER, ino INTEGER, size INTEGER,"
                  " mtime_ns INTEGER, ctime_ns INTEGER)")) {
            return fail();
        }
        writable_ = true;
    }
    problemCode_ = SQLITE_OK;
    return true;
}

bool ArchiveMarkStore::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t ArchiveMarkStore::DropVanished(int64_t lNowSecs) {
    snapshot_.reset();
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
    if (snapshot_ && sPath.size() > snapshot_->prefix.size() &&
        sPath.starts_with(snapshot_->prefix)) {
        const Signature* stored = snapshot_->Find(sPath.substr(snapshot_->prefix.size()));
        return stored == nullptr || !(*stored == sig);
    }
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
    snapshot_.reset();
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
    snapshot_.reset();
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

ArchiveMarkStore::Load ArchiveMarkStore::Preload(std::string_view sFolder) {
    snapshot_.reset();
    auto snapshot = std::make_unique<Snapshot>();
    snapshot->prefix.assign(sFolder);
    if (snapshot->prefix.empty() || snapshot->prefix.back() != '/') {
        snapshot->prefix += '/';
    }
    const auto failed = [this](int code) {
        problemCode_ = code;
        problemErrno_ = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
        const int primary = code & 0xFF;
        return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ? Load::Damaged
                                                                     : Load::Unreadable;
    };
    const bool bNoStore = db_ == nullptr && StoreFile::Missing(path_);
    if (!bNoStore) {
        if (!Open(false)) {
            return failed(problemCode_);
        }
        // The whole table in its own order: a range on the path's index would look every
        // record up a second time, and the search folder usually holds most of them.
        sqlite3_stmt* stmt = nullptr;
        const int prepared = sqlite3_prepare_v2(
            db_, "SELECT path, dev, ino, size, mtime_ns, ctime_ns FROM archive_marks", -1, &stmt,
            nullptr);
        if (prepared != SQLITE_OK) {
            sqlite3_finalize(stmt);
            if ((prepared & 0xFF) != SQLITE_ERROR) {
                return failed(prepared);
            }
            // A database without the table holds no marks yet; one with another layout is no
            // mark store.
            sqlite3_stmt* table = nullptr;
            const bool bHasTable =
                sqlite3_prepare_v2(db_,
                                   "SELECT 1 FROM sqlite_schema WHERE type = 'table'"
                                   " AND name = 'archive_marks'",
                                   -1, &table, nullptr) != SQLITE_OK ||
                sqlite3_step(table) != SQLITE_DONE;
            sqlite3_finalize(table);
            if (bHasTable) {
                problemCode_ = SQLITE_CORRUPT;
                problemErrno_ = 0;
                return Load::Damaged;
            }
        } else {
            const std::string_view prefix = snapshot->prefix;
            const size_t skip = prefix.size();
            int rc = SQLITE_ROW;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
                const auto length = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
                if (bytes == nullptr || length <= skip || std::string_view(bytes, skip) != prefix) {
                    continue;
                }
                Snapshot::Record record;
                record.offset = snapshot->names.size();
                record.length = static_cast<uint32_t>(length - skip);
                record.sig.dev = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
                record.sig.ino = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
                record.sig.size = sqlite3_column_int64(stmt, 3);
                record.sig.mtimeNs = sqlite3_column_int64(stmt, 4);
                record.sig.ctimeNs = sqlite3_column_int64(stmt, 5);
                snapshot->names.append(bytes + skip, length - skip);
                snapshot->records.push_back(record);
            }
            sqlite3_finalize(stmt);
            if (rc != SQLITE_DONE) {
                return failed(rc);
            }
        }
    }
    snapshot->Index();
    snapshot_ = std::move(snapshot);
    problemCode_ = SQLITE_OK;
    problemErrno_ = 0;
    return Load::Loaded;
}

std::string ArchiveMarkStore::MoveAside(const std::string& sSuffix) {
    Close();
    snapshot_.reset();
    return StoreFile::MoveAside(path_, sSuffix);
}
