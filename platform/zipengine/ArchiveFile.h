#pragma once
// The archive file as libzip sees it. Reads use pread, so libzip's many seeks cost nothing.
// Writing goes into a temporary file beside the archive that replaces it on commit and is
// removed on rollback. When libzip keeps the archive's beginning unchanged (growing adds entries
// behind the old ones), that beginning is copied inside the kernel instead of entry by entry,
// so a grow costs what it adds, not what the archive already holds.

#include <zip.h>

#include <atomic>
#include <string>
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

/// Makes a committed archive durable: its data, then its name in the folder. The sync runs on a
/// thread of its own from the moment the archive is renamed into place, so that libzip's teardown
/// of a large archive (it frees every entry) overlaps with the wait for the disk.
class ArchiveSync {
public:
    ArchiveSync() = default;
    ~ArchiveSync();
    ArchiveSync(const ArchiveSync&) = delete;
    ArchiveSync& operator=(const ArchiveSync&) = delete;

    /// Takes over fd, the archive as written, and replacedFd, the archive it replaced as still
    /// open for reading (or -1); folder holds its name.
    void start(int fd, const std::string& folder, int replacedFd);
    bool started() const { return started_; }
    /// 0 once both are on disk, else the errno of the step that failed.
    int wait();
    /// The replaced archive's descriptor (-1 if none), now the caller's.
    int takeReplaced();
    /// Flushes what is written so far of the file at path to the device, without waiting; does
    /// nothing while an earlier flush still runs. wait() waits for it too.
    void flushEarly(const std::string& path);

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
zip_source_t* createArchiveFileSource(const std::string& path, ArchiveSync& sync,
                                      zip_error_t* error);

}  // namespace zip32
