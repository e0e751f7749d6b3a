#pragma once
// The archive's waits for the disk, moved off the run's path onto threads of their own: early
// flushes while the archive is written, the sync of its folder once it has its name, and the
// closing of the archive it replaced.

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

}  // namespace zip32
