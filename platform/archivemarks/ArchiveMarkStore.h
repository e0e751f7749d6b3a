#pragma once
// ArchiveMarkStore: the archive mark of files, kept in an SQLite file since Linux file systems
// keep none. For each path whose mark was cleared it holds the file's stat signature at that
// moment; the mark reads as set when there is no record or the signature differs, so a new or
// rewritten file has it set.
//
//   CREATE TABLE archive_marks(path TEXT PRIMARY KEY, dev INTEGER, ino INTEGER, size INTEGER,
//                              mtime_ns INTEGER, ctime_ns INTEGER);
//   CREATE TABLE archive_marks_meta(name TEXT PRIMARY KEY, value INTEGER);  -- 'dropped_at'
//
// The file is opened on first use (a lookup never creates it). No member throws.
//
// A search over a whole folder tree loads the records below its folder at once (Preload), so that
// each file's mark is answered from memory instead of by a query of its own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

class ArchiveMarkStore {
public:
    struct Signature {
        uint64_t dev = 0;
        uint64_t ino = 0;
        int64_t size = 0;
        int64_t mtimeNs = 0;
        int64_t ctimeNs = 0;
        bool operator==(const Signature&) const = default;
    };

    explicit ArchiveMarkStore(std::string sFilePath, int busyTimeoutMs = 5000);
    ~ArchiveMarkStore();
    ArchiveMarkStore(const ArchiveMarkStore&) = delete;
    ArchiveMarkStore& operator=(const ArchiveMarkStore&) = delete;

    /// True unless a record for sPath holds exactly sig; true also when the store cannot be read.
    bool IsSet(std::string_view sPath, const Signature& sig);

    /// How Preload went.
    enum class Load {
        Loaded,      // the records are in memory (none when there is no store yet)
        Damaged,     // no SQLite database, corrupt, or not laid out as a mark store
        Unreadable,  // locked by another program, no permission, a folder ...
    };
    /// Reads every record below the folder sFolder (a full path) in one query and keeps them, so
    /// that IsSet answers paths below it from memory until the next change through this object.
    /// About 60 bytes and the path's length per record. After a failure IsSet asks the store
    /// again; ProblemCode and ProblemErrno say what went wrong.
    Load Preload(std::string_view sFolder);
    /// The SQLite result code and the system's errno of the last failed Preload.
    int ProblemCode() const { return problemCode_; }
    int ProblemErrno() const { return problemErrno_; }
    /// Closes the store and renames it with its log files to its path + sSuffix (see
    /// StoreFile::MoveAside), so that the next change starts a new one. The new path, or an empty
    /// text with errno set.
    std::string MoveAside(const std::string& sSuffix);
    const std::string& Path() const { return path_; }
    /// Records sig for sPath. True when recorded.
    bool Clear(std::string_view sPath, const Signature& sig);
    /// Forgets sPath's record. True when the store holds no record for it afterwards.
    bool Set(std::string_view sPath);

    /// Drops the records of paths that name nothing any more, all in one transaction (the open
    /// batch's, if any), but at most once a day: the moment of the last run is kept in the store.
    /// lNowSecs: the present moment in seconds since 1970. Returns how many were dropped, -1 when
    /// the store could not be changed.
    int64_t DropVanished(int64_t lNowSecs);
    static constexpr int64_t kDropIntervalSecs = 24 * 60 * 60;

    /// Makes the following changes one transaction, committed by EndBatch: clearing the marks
    /// of a whole backup then costs one commit instead of one per file. False when it could not
    /// be started; the changes then commit one by one.
    bool BeginBatch();
    /// Commits what the batch changed; a change that failed inside it is simply not there. False
    /// when the commit failed, which drops every change of the batch.
    bool EndBatch();

    /// Safe to call twice; a batch still open is dropped.
    void Close();

private:
    struct Snapshot;

    bool Open(bool bForWrite);
    bool Exec(const char* sql);
    int64_t DropVanishedInTransaction(int64_t lNowSecs);

    std::string path_;
    int busyTimeoutMs_;
    sqlite3* db_ = nullptr;
    bool writable_ = false;
    bool inBatch_ = false;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    std::unique_ptr<Snapshot> snapshot_;
    int problemCode_ = 0;
    int problemErrno_ = 0;
};
