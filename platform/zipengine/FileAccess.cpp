#include "platform/zipengine/FileAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zip32 {

FileSignature signatureOf(const struct stat& info) {
    constexpr int64_t kNs = 1000000000;
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
            static_cast<uint64_t>(info.st_size), info.st_mtim.tv_sec * kNs + info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec * kNs + info.st_ctim.tv_nsec};
}

int openListedFile(const std::string& path, struct stat& info, FileProblem& problem) {
    if (path.empty()) {
        problem = {ENOENT, systemReason(ENOENT)};
        return -1;
    }
    // Non-blocking, so that a pipe in the list cannot stall the run before it is refused.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        problem = {error, systemReason(error)};
        return -1;
    }
    if (::fstat(fd, &info) != 0) {
        int error = errno;
        ::close(fd);
        problem = {error, systemReason(error)};
        return -1;
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        problem = {EISDIR, systemReason(EISDIR)};
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        problem = {0, "keine reguläre Datei"};
        return -1;
    }
    return fd;
}

namespace {

// Reads until length bytes are in or the file ends; read is ::read or a ::pread at a moving offset.
template <typename Read>
int64_t readAll(void* buffer, uint64_t length, FileProblem& problem, Read read) {
    auto* out = static_cast<unsigned char*>(buffer);
    uint64_t done = 0;
    while (done < length) {
        uint64_t want = length - done;
        ssize_t n = read(out + done, want > (1u << 30) ? (1u << 30) : want, done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int error = errno;
            problem = {error, systemReason(error)};
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t readUpTo(int fd, void* buffer, uint64_t length, FileProblem& problem) {
    return readAll(buffer, length, problem,
                   [fd](void* to, size_t want, uint64_t) { return ::read(fd, to, want); });
}

int64_t readUpToAt(int fd, void* buffer, uint64_t length, uint64_t offset, FileProblem& problem) {
    return readAll(buffer, length, problem, [fd, offset](void* to, size_t want, uint64_t done) {
        return ::pread(fd, to, want, static_cast<off_t>(offset + done));
    });
}

bool readAsOneState(int fd, const FileSignature& before, bool endedEarly, FileProblem& problem) {
    // One byte more than the size: a file that grew shows it, and so does a pseudo file.
    unsigned char beyond = 0;
    const int64_t more = readUpToAt(fd, &beyond, 1, before.size, problem);
    if (more < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        problem = {error, systemReason(error)};
        return false;
    }
    if (signatureOf(info) != before) {
        problem = changedWhileRead();
        return false;
    }
    if (endedEarly || more > 0) {
        problem = {0, "Inhalt endet nicht bei der Dateigröße (Pseudodatei)"};
        return false;
    }
    return true;
}

FileProblem changedWhileRead() {
    return {0, "Datei hat sich beim Lesen geändert", true};
}

}  // namespace zip32
