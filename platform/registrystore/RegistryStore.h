#pragma once
// RegistryStore: one registry root kept in an SQLite file, in the documented table
//
//   CREATE TABLE reg_values(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,
//                           type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name));
//
// type: 1 text, 2 expandable text, 3 binary, 4 32-bit number. Texts are UTF-8 without a
// terminating zero; a number is stored as an INTEGER.
//
// The file is opened on first use and stays open; a read never creates it, the first write does
// (with its folder). Journal mode WAL and a busy timeout let several instances share the file.
// Every write outside a batch is committed before it returns. No member throws: Find tells a
// missing value from one that could not be read, writes return false, and a file that is not a
// database is never touched (MoveAside puts it out of the way whole). A store on a file system
// mounted read only is still read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class RegistryStore {
public:
    enum ValueType : int32_t {
        kText = 1,
        kExpandText = 2,
        kBinary = 3,
        kNumber = 4,
    };

    struct Value {
        int32_t type = 0;
        std::string bytes;   // texts and binary data
        int64_t number = 0;  // kNumber
    };

    /// Why the last failed call failed: an SQLite result code (0 when SQLite was not reached) and
    /// the system's error number behind it (0 when there is none). bFolder: the store's folder
    /// could not be created.
    struct Problem {
        int sqliteCode = 0;
        int systemError = 0;
        bool bFolder = false;
    };

    /// bReadOnly: never create or write the file.
    RegistryStore(std::string sFilePath, bool bReadOnly, int busyTimeoutMs = 5000);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    const std::string& FilePath() const { return path_; }
    /// True when no store file is there yet (as against one that cannot be looked at).
    bool Missing() const;

    enum class Lookup { Found, Missing, Failed };
    /// Found fills *pValue. Missing: no such value, or no store at all. Failed: the store exists
    /// but could not be read (LastProblem says why).
    Lookup Find(std::string_view sKey, std::string_view sName, Value* pValue);
    /// The value; nullopt when it is missing or could not be read.
    std::optional<Value> Read(std::string_view sKey, std::string_view sName);
    bool Write(std::string_view sKey, std::string_view sName, int32_t type, std::string_view bytes);
    bool WriteNumber(std::string_view sKey, std::string_view sName, int64_t number);
    /// True when a value was deleted.
    bool Remove(std::string_view sKey, std::string_view sName);

    /// Every value under sKey whose name is sPrefix followed by decimal digits only, with its
    /// name, in one query; none when there is no store yet; nullopt when it cannot be read.
    std::optional<std::vector<std::pair<std::string, Value>>> Numbered(std::string_view sKey,
                                                                       std::string_view sPrefix);

    /// Opens a transaction for the following calls: a writing one takes the write lock at once
    /// (waiting up to the busy timeout), a reading one sees one consistent state. False when it
    /// could not be started. Inside an open batch a further one joins it (a writing one only a
    /// writing one): its end commits nothing, and ending it without commit rolls back the whole.
    /// *pHeld (when given) tells whether a failure holds every call until EndFailedBatch.
    bool BeginBatch(bool bWrite, bool* pHeld = nullptr);
    /// After a BeginBatch that failed on an existing store, every call fails at once (with that
    /// failure's problem) until this is called: the calls of a batch that could not start would
    /// each wait for the same lock in vain.
    void EndFailedBatch() { failedBatches_ = failedBatches_ > 0 ? failedBatches_ - 1 : 0; }
    /// Commits when bCommit and every write since BeginBatch succeeded, else rolls back.
    /// True when committed (for a joined batch: when nothing has failed so far).
    bool EndBatch(bool bCommit);
    bool InBatch() const { return inBatch_; }

    /// The reason of the last failure; reset by every successful write, batch start and commit.
    const Problem& LastProblem() const { return problem_; }

    enum class Health { Missing, Usable, Damaged, Unreadable };
    /// Opens the store for reading: Damaged when the file is no SQLite database (or not even its
    /// schema can be read), Unreadable for any other failure (locked, a folder, no permission).
    Health Check();
    /// True when the store can only be read: the file system holding it is mounted read only.
    bool OnReadOnlyMedium() const;

    /// Renames the store file and its -wal and -shm files to sFilePath + sSuffix (+ "-wal",
    /// "-shm"), never over an existing file: "-2", "-3" ... are tried after sSuffix. Returns the
    /// new path of the store file, or an empty text with errno set. Closes the store first.
    std::string MoveAside(const std::string& sSuffix);

    /// Safe to call twice.
    void Close();

private:
    bool Open(bool bForWrite);
    bool Exec(const char* sql);
    // Records the connection's present error (or, without a connection, rc) as the last problem.
    void NoteProblem(int rc);
    sqlite3_stmt* Prepare(sqlite3_stmt*& cached, const char* sql);
    bool FinishWrite(bool ok);
    // The upsert with key, name and type bound, or nullptr; StepWrite runs it and resets it.
    sqlite3_stmt* PrepareUpsert(std::string_view sKey, std::string_view sName, int32_t type);
    bool StepWrite(sqlite3_stmt* stmt);

    std::string path_;
    bool readOnly_;
    int busyTimeoutMs_;
    sqlite3* db_ = nullptr;
    bool writable_ = false;
    bool inBatch_ = false;
    bool batchWrites_ = false;
    int joinedBatches_ = 0;
    bool batchFailed_ = false;
    int failedBatches_ = 0;
    Problem problem_;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    sqlite3_stmt* numbered_ = nullptr;
};
