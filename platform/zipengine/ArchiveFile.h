#pragma once
// The archive file as libzip sees it. Reads use pread, so libzip's many seeks cost nothing.
//
// Writing goes into a temporary file in the archive's folder that has no name (O_TMPFILE), so a
// run killed at any moment leaves nothing behind. At commit the data is synced first and only then
// given the archive's name: a new archive by linking it there (which never replaces a file that
// appeared meanwhile), a grown or recreated one by linking it under a temporary name at the last
// moment and renaming that over the old archive. Where the file system knows no O_TMPFILE the
// temporary file is named from the start; a run that dies leaves it, and the next run in that
// folder removes it. Named temporaries follow one pattern and are locked while their run lives.
//
// When libzip keeps the archive's beginning unchanged (growing adds entries behind the old ones),
// that beginning is copied inside the kernel instead of entry by entry, so a grow costs what it
// adds, not what the archive already holds. New archives are readable by their owner only; a
// grown or recreated one keeps the mode it had.

#include <zip.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace zip32 {

/// Joins thread unless it was never started or is joined already.
inline void joinIfRunning(std::thread& thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

/// The folder that holds path's name: "." for a bare name.
std::string folderOf(const std::string& path);

/// True for the names of the engine's named temporary files: ".zip32-" followed by six letters
/// or digits and ".tmp".
bool isTemporaryName(std::string_view name);

/// Removes what runs that died left in folder: files of the temporary pattern that belong to this
/// user and that no living run holds locked.
void removeLeftoverTemporaries(const std::string& folder);

/// How the run wants its archive written.
struct WriteSettings {
    /// Written over the stand-in of the same length that libzip wrote as the archive's comment,
    /// byte for byte (libzip refuses comments that are not UTF-8 or hold control characters);
    /// nothing keeps libzip's comment.
    std::optional<std::string> comment;
    /// Entries that libzip wrote under a stand-in name of the same length: the true name of each,
    /// written over the stand-in in its local header and its central directory record.
    std::map<std::string, std::string> trueNames;
    /// A named temporary file from the start, as on a file system without O_TMPFILE.
    bool namedTemporary = false;
    /// Called with "commit" when the archive is complete and on the disk but not yet under its
    /// name, and with "replace" when it lies under a temporary name, about to replace the old one.
    std::function<void(const char* step)> checkpoint;
};

/// Finishes a committed archive: its name in the folder is synced, its cached pages are dropped
/// (so that reading it back reads the disk), on a thread of its own, so that libzip's teardown
/// of a large archive (it frees every entry) overlaps with the wait for the disk.
class ArchiveSync {
public:
    ArchiveSync() = default;
    ~ArchiveSync();
    ArchiveSync(const ArchiveSync&) = delete;
    ArchiveSync& operator=(const ArchiveSync&) = delete;

    /// Takes over fd, the archive as written and synced, now under its name, and replacedFd, the
    /// archive it replaced as still open for reading (or -1); folder holds its name.
    void start(int fd, const std::string& folder, int replacedFd);
    bool started() const { return started_; }
    /// 0 once the name is on the disk, else the errno of the step that failed.
    int wait();
    /// The replaced archive's descriptor (-1 if none), now the caller's.
    int takeReplaced();
    /// Flushes what is written so far of the file open as fd to the device, without waiting;
    /// does nothing while an earlier flush still runs. wait() waits for it too.
    void flushEarly(int fd);

private:
    std::thread worker_;
    std::thread early_;
    std::atomic<bool> earlyDone_{true};
    bool started_ = false;
    int error_ = 0;
    int replacedFd_ = -1;
};

/// Closes fd without waiting. Closing the last descriptor of a replaced archive drops its blocks,
/// which costs the file system time in proportion to the archive's size; a grow need not wait for
/// that, since nothing it reports depends on it.
void closeInBackground(int fd);

/// A libzip source for the archive at path (which need not exist yet); nullptr with error set
/// when it cannot be created. libzip owns it once zip_open_from_source has taken it. A commit
/// hands the written archive to sync.
zip_source_t* createArchiveFileSource(const std::string& path, const WriteSettings& settings,
                                      ArchiveSync& sync, zip_error_t* error);

}  // namespace zip32
