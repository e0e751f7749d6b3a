#include "platform/registrystore/RegistryStore.h"

#include <sqlite3.h>

#include "platform/StoreFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The value whose type is in column `first` and whose data follows it.
RegistryStore::Value ColumnValue(sqlite3_stmt* stmt, int first) {
    RegistryStore::Value v;
    v.type = sqlite3_column_int(stmt, first);
    if (v.type == RegistryStore::kNumber) {
        v.number = sqlite3_column_int64(stmt, first + 1);
    } else {
        // Texts may have been stored as TEXT or BLOB; both come back as their bytes.
        const void* data = sqlite3_column_blob(stmt, first + 1);
        const int size = sqlite3_column_bytes(stmt, first + 1);
        if (data != nullptr && size > 0) {
            v.bytes.assign(static_cast<const char*>(data), static_cast<size_t>(size));
        }
    }
    return v;
}

}  // namespace

RegistryStore::RegistryStore(std::string sFilePath, bool bReadOnly, int busyTimeoutMs)
    : path_(std::move(sFilePath)), readOnly_(bReadOnly), busyTimeoutMs_(busyTimeoutMs) {}

RegistryStore::~RegistryStore() {
    Close();
}

void RegistryStore::Close() {
    for (sqlite3_stmt** stmt : {&select_, &upsert_, &delete_, &numbered_}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    if (db_ != nullptr) {
        if (inBatch_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    writable_ = false;
    inBatch_ = false;
    batchWrites_ = false;
    joinedBatches_ = 0;
    batchFailed_ = false;
}

bool RegistryStore::Exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NoteProblem(rc);
    }
    return rc == SQLITE_OK;
}

void RegistryStore::NoteProblem(int rc) {
    problem_ = Problem{};
    problem_.sqliteCode = db_ != nullptr ? sqlite3_extended_errcode(db_) : rc;
    if (problem_.sqliteCode == SQLITE_OK) {
        problem_.sqliteCode = rc;
    }
    problem_.systemError = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
}

namespace {

// "file:" URI of a path: the characters a URI gives a meaning of their own are escaped.
std::string FileUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '?' || c == '#' || byte < 0x21 || byte >= 0x7F) {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 0x0F];
        } else {
            uri += c;
        }
    }
    return uri;
}

// False when the file holds something that is no SQLite database (an empty file is a new one).
// Told before SQLite opens it: SQLite removes a "-wal" file beside a file it cannot read.
bool LooksLikeDatabase(const std::string& path) {
    static constexpr char kMagic[] = "SQLite format 3";  // with its zero: 16 bytes
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return true;  // SQLite will say why it cannot open it
    }
    char head[sizeof kMagic] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular || got < 0) {
        return true;
    }
    return got == 0 || (got == sizeof head && std::memcmp(head, kMagic, sizeof head) == 0);
}

}  // namespace

bool RegistryStore::Missing() const {
    return StoreFile::Missing(path_);
}

bool RegistryStore::OnReadOnlyMedium() const {
    return StoreFile::OnReadOnlyFileSystem(path_);
}

// Opens the connection: for reading only when the file exists, for writing creating file and
// folder. A file that turns out not to be a usable store is closed again untouched.
bool RegistryStore::Open(bool bForWrite) {
    if (db_ != nullptr && (writable_ || !bForWrite)) {
        return true;
    }
    if ((bForWrite && readOnly_) || inBatch_ || failedBatches_ > 0) {
        return false;  // inBatch_: never swap the connection under an open transaction
    }
    Close();
    if (StoreFile::Missing(path_)) {
        if (!bForWrite) {
            return false;
        }
        if (!StoreFile::MakeParentFolders(path_)) {
            problem_ = Problem{SQLITE_CANTOPEN, errno, true};
            return false;
        }
    }
    if (!LooksLikeDatabase(path_)) {
        problem_ = Problem{SQLITE_NOTADB, 0, false};
        return false;
    }
    if (bForWrite && OnReadOnlyMedium()) {
        problem_ = Problem{SQLITE_READONLY, EROFS, false};
        return false;
    }
    int flags = SQLITE_OPEN_READWRITE;
    if (readOnly_) {
        flags = SQLITE_OPEN_READONLY;
    } else if (bForWrite) {
        flags |= SQLITE_OPEN_CREATE;
    }
    int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK && !bForWrite && !readOnly_) {
        // An existing store that we may only read.
        sqlite3_close_v2(db_);
        db_ = nullptr;
        rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    }
    if (rc != SQLITE_OK) {
        NoteProblem(rc);
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
    // Reading the schema tells a database from any other file before anything is written. It is
    // the first statement, so that a store locked by another program is waited for only once.
    if (!Exec("SELECT count(*) FROM sqlite_schema")) {
        // Where the file system is mounted read only, a store in WAL mode cannot make its
        // shared-memory file; nothing can change it there, so it is read as an immutable file.
        const Problem kept = problem_;
        Close();
        if (bForWrite || !OnReadOnlyMedium() ||
            sqlite3_open_v2(FileUri(path_).append("?immutable=1").c_str(), &db_,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK ||
            sqlite3_exec(db_, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            Close();
            problem_ = kept;
            return false;
        }
    }
    // A saved list of 100,000 paths is a B-tree of some 10 MB: with the default 2 MB page cache
    // the transaction that saves it spills pages to the log half-way.
    if (!Exec("PRAGMA cache_size=-32768")) {
        Close();
        return false;
    }
    if (bForWrite) {
        if (sqlite3_db_readonly(db_, "main") != 0) {
            NoteProblem(SQLITE_READONLY);
            problem_.sqliteCode = SQLITE_READONLY;
            Close();
            return false;
        }
        if (!Exec("PRAGMA journal_mode=WAL") || !Exec("CREATE TABLE IF NOT EXISTS reg_values("
                                                      " key TEXT NOT NULL COLLATE NOCASE,"
                                                      " name TEXT NOT NULL COLLATE NOCASE,"
                                                      " type INTEGER NOT NULL,"
                                                      " data BLOB,"
                                                      " PRIMARY KEY(key, name))")) {
            Close();
            return false;
        }
        writable_ = true;
    }
    return true;
}

RegistryStore::Health RegistryStore::Check() {
    if (StoreFile::Missing(path_)) {
        return Health::Missing;
    }
    if (Open(false)) {
        return Health::Usable;
    }
    const int code = problem_.sqliteCode & 0xFF;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? Health::Damaged : Health::Unreadable;
}

std::string RegistryStore::MoveAside(const std::string& sSuffix) {
    Close();
    return StoreFile::MoveAside(path_, sSuffix);
}

sqlite3_stmt* RegistryStore::Prepare(sqlite3_stmt*& cached, const char* sql) {
    if (cached == nullptr) {
        const int rc =
            sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr);
        if (rc != SQLITE_OK) {
            NoteProblem(rc);
            sqlite3_finalize(cached);
            cached = nullptr;
        }
    }
    return cached;
}

RegistryStore::Lookup RegistryStore::Find(std::string_view sKey, std::string_view sName,
                                          Value* pValue) {
    if (!Open(false)) {
        return StoreFile::Missing(path_) ? Lookup::Missing : Lookup::Failed;
    }
    sqlite3_stmt* stmt =
        Prepare(select_, "SELECT type, data FROM reg_values WHERE key = ?1 AND name = ?2");
    if (stmt == nullptr) {
        return Lookup::Failed;
    }
    BindText(stmt, 1, sKey);
    BindText(stmt, 2, sName);
    const int rc = sqlite3_step(stmt);
    Lookup result = Lookup::Missing;
    if (rc == SQLITE_ROW) {
        *pValue = ColumnValue(stmt, 0);
        result = Lookup::Found;
    } else if (rc != SQLITE_DONE) {
        NoteProblem(rc);
        result = Lookup::Failed;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return result;
}

std::optional<RegistryStore::Value> RegistryStore::Read(std::string_view sKey,
                                                        std::string_view sName) {
    Value value;
    if (Find(sKey, sName, &value) != Lookup::Found) {
        return std::nullopt;
    }
    return value;
}

bool RegistryStore::FinishWrite(bool ok) {
    if (!ok && inBatch_) {
        batchFailed_ = true;
    }
    if (ok) {
        problem_ = Problem{};
    }
    return ok;
}

sqlite3_stmt* RegistryStore::PrepareUpsert(std::string_view sKey, std::string_view sName,
                                           int32_t type) {
    if (!Open(true)) {
        return nullptr;
    }
    sqlite3_stmt* stmt =
        Prepare(upsert_,
                "INSERT INTO reg_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type,"
                " data = excluded.data");
    if (stmt != nullptr) {
        BindText(stmt, 1, sKey);
        BindText(stmt, 2, sName);
        sqlite3_bind_int(stmt, 3, type);
    }
    return stmt;
}

bool RegistryStore::StepWrite(sqlite3_stmt* stmt) {
    if (stmt == nullptr) {
        return FinishWrite(false);
    }
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        NoteProblem(rc);
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return FinishWrite(rc == SQLITE_DONE);
}

bool RegistryStore::Write(std::string_view sKey, std::string_view sName, int32_t type,
                          std::string_view bytes) {
    sqlite3_stmt* stmt = PrepareUpsert(sKey, sName, type);
    if (stmt != nullptr) {
        if (type == kBinary) {
            sqlite3_bind_blob(stmt, 4, bytes.data(), static_cast<int>(bytes.size()),
                              SQLITE_TRANSIENT);
        } else {
            // Stored with the TEXT storage class so that the sqlite3 shell compares it with
            // literals.
            BindText(stmt, 4, bytes);
        }
    }
    return StepWrite(stmt);
}

bool RegistryStore::WriteNumber(std::string_view sKey, std::string_view sName, int64_t number) {
    sqlite3_stmt* stmt = PrepareUpsert(sKey, sName, kNumber);
    if (stmt != nullptr) {
        sqlite3_bind_int64(stmt, 4, number);
    }
    return StepWrite(stmt);
}

bool RegistryStore::Remove(std::string_view sKey, std::string_view sName) {
    if (db_ == nullptr && StoreFile::Missing(path_)) {
        return false;  // nothing stored, nothing to delete; no file is created for it
    }
    if (!Open(true)) {
        return FinishWrite(false);
    }
    sqlite3_stmt* stmt = Prepare(delete_, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2");
    if (stmt == nullptr) {
        return FinishWrite(false);
    }
    BindText(stmt, 1, sKey);
    BindText(stmt, 2, sName);
    const int rc = sqlite3_step(stmt);
    const bool done = rc == SQLITE_DONE;
    if (!done) {
        NoteProblem(rc);
    }
    const bool deleted = done && sqlite3_changes(db_) > 0;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    // Deleting a value that is not there fails the call but not the batch.
    FinishWrite(done);
    return deleted;
}

std::optional<std::vector<std::pair<std::string, RegistryStore::Value>>> RegistryStore::Numbered(
    std::string_view sKey, std::string_view sPrefix) {
    if (!Open(false)) {
        if (StoreFile::Missing(path_)) {
            return std::vector<std::pair<std::string, Value>>();  // nothing stored yet
        }
        return std::nullopt;
    }
    sqlite3_stmt* stmt =
        Prepare(numbered_,
                "SELECT name, type, data FROM reg_values"
                " WHERE key = ?1 AND substr(name, 1, ?3) = ?2 COLLATE NOCASE"
                " AND length(name) > ?3 AND substr(name, ?3 + 1) NOT GLOB '*[^0-9]*'");
    if (stmt == nullptr) {
        return std::nullopt;
    }
    BindText(stmt, 1, sKey);
    BindText(stmt, 2, sPrefix);
    sqlite3_bind_int(stmt, 3, static_cast<int>(sPrefix.size()));  // prefixes are ASCII
    std::vector<std::pair<std::string, Value>> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        rows.emplace_back(name != nullptr ? name : "", ColumnValue(stmt, 1));
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE) {
        NoteProblem(rc);
        return std::nullopt;
    }
    return rows;
}

bool RegistryStore::BeginBatch(bool bWrite, bool* pHeld) {
    if (pHeld != nullptr) {
        *pHeld = false;
    }
    if (inBatch_) {
        if (bWrite && !batchWrites_) {
            return false;
        }
        ++joinedBatches_;
        return true;
    }
    if (!Open(bWrite) || !Exec(bWrite ? "BEGIN IMMEDIATE" : "BEGIN")) {
        if (!Missing()) {
            ++failedBatches_;
            if (pHeld != nullptr) {
                *pHeld = true;
            }
        }
        return false;
    }
    problem_ = Problem{};
    inBatch_ = true;
    batchWrites_ = bWrite;
    batchFailed_ = false;
    return true;
}

bool RegistryStore::EndBatch(bool bCommit) {
    if (!inBatch_) {
        return false;
    }
    if (joinedBatches_ > 0) {
        --joinedBatches_;
        batchFailed_ = batchFailed_ || !bCommit;
        return !batchFailed_;
    }
    bool committed = false;
    if (bCommit && !batchFailed_) {
        committed = Exec("COMMIT");
    }
    if (!committed) {
        const Problem kept = problem_;
        Exec("ROLLBACK");
        problem_ = kept;
    } else {
        problem_ = Problem{};
    }
    inBatch_ = false;
    batchWrites_ = false;
    batchFailed_ = false;
    return committed;
}
