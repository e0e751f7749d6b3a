#include "platform/zipengine/ArchiveSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zip32 {

namespace {

int syncFolder(const std::string& folder) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return errno;
    }
    const int error = ::fsync(folderFd) == 0 ? 0 : errno;
    ::close(folderFd);
    return error;
}

// One closing thread per calling thread, joined by the next close or when the calling thread
// ends.
class BackgroundCloser {
public:
    BackgroundCloser() = default;
    ~BackgroundCloser() { joinIfRunning(worker_); }
    BackgroundCloser(const BackgroundCloser&) = delete;
    BackgroundCloser& operator=(const BackgroundCloser&) = delete;

    void close(int fd) {
        joinIfRunning(worker_);
        try {
            worker_ = std::thread([fd] { ::close(fd); });
        } catch (const std::system_error&) {
            ::close(fd);
        }
    }

private:
    std::thread worker_;
};

}  // namespace

ArchiveSync::~ArchiveSync() {
    (void)wait();
    if (replacedFd_ >= 0) {
        ::close(replacedFd_);
    }
}

void ArchiveSync::start(int fd, const std::string& folder, int replacedFd) {
    // An early flush may go on: the archive's sync has waited for the device either way.
    joinIfRunning(worker_);
    if (replacedFd_ >= 0) {
        ::close(replacedFd_);
    }
    replacedFd_ = replacedFd;
    started_ = true;
    error_ = 0;
    auto finish = [this, fd, folder] {
        error_ = syncFolder(folder);
        // The pages are clean since the sync: dropped, a check that reads the archive back
        // reads what the disk holds.
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    };
    try {
        worker_ = std::thread(finish);
    } catch (const std::system_error&) {
        finish();
    }
}

int ArchiveSync::wait() {
    joinIfRunning(worker_);
    joinIfRunning(early_);
    return error_;
}

void ArchiveSync::flushEarly(int fd) {
    if (early_.joinable()) {
        if (!earlyDone_) {
            return;
        }
        early_.join();
    }
    // A descriptor of its own: a write error that this flush is told of is still reported to
    // the sync on the archive's own descriptor. The temporary file may have no name: it is
    // reached through the descriptor's link in /proc.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) {
        return;
    }
    earlyDone_ = false;
    try {
        early_ = std::thread([this, own] {
            ::fdatasync(own);
            ::close(own);
            earlyDone_ = true;
        });
    } catch (const std::system_error&) {
        ::close(own);
        earlyDone_ = true;
    }
}

int ArchiveSync::takeReplaced() {
    const int fd = replacedFd_;
    replacedFd_ = -1;
    return fd;
}

void closeInBackground(int fd) {
    if (fd < 0) {
        return;
    }
    thread_local BackgroundCloser closer;
    closer.close(fd);
}

}  // namespace zip32
