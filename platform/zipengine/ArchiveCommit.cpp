#include "platform/zipengine/ArchiveCommit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace zip32 {

namespace {

constexpr std::string_view kTemporaryPrefix = ".zip32-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr size_t kTemporaryRandom = 6;
constexpr std::string_view kTemporaryLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kNameAttempts = 100;

// The end record of an archive without a comment: its signature, and the comment length last.
constexpr size_t kEndRecordSize = 22;
constexpr size_t kLongestComment = 0xFFFF;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kZip64FieldId = 0x0001;

bool failed(zip_error_t* error, int zipError, int systemError) {
    zip_error_set(error, zipError, systemError);
    return false;
}

uint16_t get16(const unsigned char* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t get32(const unsigned char* at) {
    return static_cast<uint32_t>(get16(at)) | static_cast<uint32_t>(get16(at + 2)) << 16;
}

uint64_t get64(const unsigned char* at) {
    return static_cast<uint64_t>(get32(at)) | static_cast<uint64_t>(get32(at + 4)) << 32;
}

// Where a central directory record's local header lies: in the record, or in its ZIP64 field,
// after the sizes that the record leaves to that field too.
std::optional<uint64_t> localHeaderOffset(const unsigned char* record, size_t extraLength) {
    const uint32_t offset = get32(record + 42);
    if (offset != 0xFFFFFFFF) {
        return offset;
    }
    const unsigned char* extra = record + kCentralHeaderSize + get16(record + 28);
    for (size_t at = 0; at + 4 <= extraLength;) {
        const uint16_t id = get16(extra + at);
        const uint16_t length = get16(extra + at + 2);
        if (at + 4 + length > extraLength) {
            break;
        }
        if (id == kZip64FieldId) {
            size_t skip = (get32(record + 24) == 0xFFFFFFFF ? 8 : 0) +
                          (get32(record + 20) == 0xFFFFFFFF ? 8 : 0);
            if (skip + 8 <= length) {
                return get64(extra + at + 4 + skip);
            }
            break;
        }
        at += 4 + length;
    }
    return std::nullopt;
}

std::string temporaryPath(const std::string& folder) {
    thread_local std::mt19937 random{std::random_device{}()};
    std::string name(kTemporaryPrefix);
    for (size_t i = 0; i < kTemporaryRandom; ++i) {
        name.push_back(kTemporaryLetters[random() % kTemporaryLetters.size()]);
    }
    name.append(kTemporarySuffix);
    return folder + "/" + name;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The lock that tells a cleaning run that the file's run still lives; false when another run
// holds it or the name no longer leads to fd's file.
bool lockUnderName(int fd, int folderFd, const char* name) {
    struct stat held {};
    struct stat named {};
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
           ::fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, named);
}

// Gives the file open as fd (which has no name, or another one) the name path; 0 or an errno.
int linkAs(int fd, const std::string& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) {
        return errno;
    }
    // Without /proc; this form needs privileges that a user rarely has.
    return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// The stand-ins that libzip wrote into the archive of size end, open as fd, replaced by the true
// bytes. A record that is not as libzip writes it fails the commit rather than being patched.
class StandIns {
public:
    StandIns(int fd, zip_uint64_t end, zip_error_t* error) : fd_(fd), end_(end), error_(error) {}

    bool writeTrueComment(const std::string& comment);
    bool writeTrueNames(const std::map<std::string, std::string>& trueNames);

private:
    bool findDirectory(zip_uint64_t& directoryAt, zip_uint64_t& directorySize);
    bool readAt(void* to, size_t length, zip_uint64_t offset);
    bool writeAt(const void* from, size_t length, zip_uint64_t offset);

    int fd_;
    zip_uint64_t end_;
    zip_error_t* error_;
};

// libzip has written a stand-in of the same length, the last bytes of the archive.
bool StandIns::writeTrueComment(const std::string& comment) {
    if (end_ < kEndRecordSize + comment.size()) {
        return failed(error_, ZIP_ER_INTERNAL, 0);
    }
    const zip_uint64_t at = end_ - comment.size();
    unsigned char end[kEndRecordSize];
    const ssize_t got = ::pread(fd_, end, kEndRecordSize, static_cast<off_t>(at - kEndRecordSize));
    if (got != static_cast<ssize_t>(kEndRecordSize)) {
        return failed(error_, ZIP_ER_READ, got < 0 ? errno : EIO);
    }
    if (std::memcmp(end, "PK\x05\x06", 4) != 0 ||
        static_cast<size_t>(end[20] | end[21] << 8) != comment.size()) {
        return failed(error_, ZIP_ER_INTERNAL, 0);
    }
    const ssize_t put = ::pwrite(fd_, comment.data(), comment.size(), static_cast<off_t>(at));
    if (put != static_cast<ssize_t>(comment.size())) {
        return failed(error_, ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
    }
    return true;
}

bool StandIns::readAt(void* to, size_t length, zip_uint64_t offset) {
    const ssize_t got = ::pread(fd_, to, length, static_cast<off_t>(offset));
    return got == static_cast<ssize_t>(length) ||
           failed(error_, ZIP_ER_READ, got < 0 ? errno : EIO);
}

bool StandIns::writeAt(const void* from, size_t length, zip_uint64_t offset) {
    const ssize_t put = ::pwrite(fd_, from, length, static_cast<off_t>(offset));
    return put == static_cast<ssize_t>(length) ||
           failed(error_, ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
}

// The place and size of the central directory that libzip wrote, from the end record (found
// from the back: a comment may follow it) or, where that does not hold them, its ZIP64 form.
bool StandIns::findDirectory(zip_uint64_t& directoryAt, zip_uint64_t& directorySize) {
    const size_t tailLength =
        static_cast<size_t>(std::min<zip_uint64_t>(end_, kEndRecordSize + kLongestComment));
    std::vector<unsigned char> tail(tailLength);
    if (tailLength < kEndRecordSize || !readAt(tail.data(), tailLength, end_ - tailLength)) {
        return failed(error_, ZIP_ER_INTERNAL, 0);
    }
    std::optional<size_t> end;
    for (size_t at = tailLength - kEndRecordSize + 1; !end && at-- > 0;) {
        if (std::memcmp(&tail[at], "PK\x05\x06", 4) == 0 &&
            at + kEndRecordSize + get16(&tail[at + 20]) == tailLength) {
            end = at;
        }
    }
    if (!end) {
        return failed(error_, ZIP_ER_INTERNAL, 0);
    }
    const unsigned char* record = &tail[*end];
    directorySize = get32(record + 12);
    directoryAt = get32(record + 16);
    if (directoryAt == 0xFFFFFFFF || directorySize == 0xFFFFFFFF || get16(record + 10) == 0xFFFF) {
        const zip_uint64_t endAt = end_ - tailLength + *end;
        unsigned char locator[kZip64LocatorSize];
        unsigned char zip64[kZip64EndRecordSize];
        if (endAt < kZip64LocatorSize ||
            !readAt(locator, sizeof locator, endAt - kZip64LocatorSize) ||
            std::memcmp(locator, "PK\x06\x07", 4) != 0 ||
            !readAt(zip64, sizeof zip64, get64(locator + 8)) ||
            std::memcmp(zip64, "PK\x06\x06", 4) != 0) {
            return failed(error_, ZIP_ER_INTERNAL, 0);
        }
        directorySize = get64(zip64 + 40);
        directoryAt = get64(zip64 + 48);
    }
    return directoryAt + directorySize <= end_ || failed(error_, ZIP_ER_INTERNAL, 0);
}

// Puts each stand-in's true name into its central directory record and its local header.
bool StandIns::writeTrueNames(const std::map<std::string, std::string>& trueNames) {
    zip_uint64_t directoryAt = 0;
    zip_uint64_t directorySize = 0;
    if (!findDirectory(directoryAt, directorySize)) {
        return false;
    }
    std::vector<unsigned char> directory(static_cast<size_t>(directorySize));
    if (!readAt(directory.data(), directory.size(), directoryAt)) {
        return false;
    }
    size_t found = 0;
    for (size_t at = 0; at + kCentralHeaderSize <= directory.size();) {
        const unsigned char* record = &directory[at];
        const size_t nameLength = get16(record + 28);
        const size_t extraLength = get16(record + 30);
        const size_t length = kCentralHeaderSize + nameLength + extraLength + get16(record + 32);
        if (std::memcmp(record, "PK\x01\x02", 4) != 0 || at + length > directory.size()) {
            return failed(error_, ZIP_ER_INTERNAL, 0);
        }
        const std::string name(reinterpret_cast<const char*>(record + kCentralHeaderSize),
                               nameLength);
        const auto trueName = trueNames.find(name);
        if (trueName != trueNames.end()) {
            const std::optional<uint64_t> localAt = localHeaderOffset(record, extraLength);
            unsigned char local[kLocalHeaderSize];
            std::string localName(nameLength, '\0');
            if (!localAt || !readAt(local, sizeof local, *localAt) ||
                !readAt(localName.data(), nameLength, *localAt + kLocalHeaderSize)) {
                return failed(error_, ZIP_ER_INTERNAL, 0);
            }
            if (std::memcmp(local, "PK\x03\x04", 4) != 0 || localName != name ||
                trueName->second.size() != nameLength) {
                return failed(error_, ZIP_ER_INTERNAL, 0);
            }
            if (!writeAt(trueName->second.data(), nameLength, *localAt + kLocalHeaderSize) ||
                !writeAt(trueName->second.data(), nameLength,
                         directoryAt + at + kCentralHeaderSize)) {
                return false;
            }
            ++found;
        }
        at += length;
    }
    return found == trueNames.size() || failed(error_, ZIP_ER_INTERNAL, 0);
}

}  // namespace

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isTemporaryName(std::string_view name) {
    if (name.size() != kTemporaryPrefix.size() + kTemporaryRandom + kTemporarySuffix.size() ||
        !name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix)) {
        return false;
    }
    const std::string_view random = name.substr(kTemporaryPrefix.size(), kTemporaryRandom);
    return random.find_first_not_of(kTemporaryLetters) == std::string_view::npos;
}

void removeLeftoverTemporaries(const std::string& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    const int folderFd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryName(entry->d_name)) {
            continue;
        }
        const int fd =
            ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            lockUnderName(fd, folderFd, entry->d_name)) {
            ::unlinkat(folderFd, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(listing);
}

// Owner-only (0600, less the umask): an archive may hold files that only their owner may read.
bool ArchiveCommit::begin(zip_error_t* error) {
    discard();
    struct stat original {};
    replacing_ = ::stat(path_.c_str(), &original) == 0;
    if (!settings_.namedTemporary) {
        fd_ = ::open(folderOf(path_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            // Locked, so that its name at the moment of replacing is safe from cleaning runs.
            ::flock(fd_, LOCK_EX | LOCK_NB);
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            // EISDIR: a kernel without O_TMPFILE; the others: a file system without it.
            return failed(error, ZIP_ER_TMPOPEN, errno);
        }
    }
    if (fd_ < 0 && !openNamed(error)) {
        return false;
    }
    if (replacing_) {
        ::fchmod(fd_, original.st_mode & 07777);
    }
    return true;
}

bool ArchiveCommit::openNamed(zip_error_t* error) {
    const std::string folder = folderOf(path_);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return failed(error, ZIP_ER_TMPOPEN, errno);
    }
    for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
        tempPath_ = temporaryPath(folder);
        const char* name = tempPath_.c_str() + folder.size() + 1;
        fd_ = ::openat(folderFd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST) {
            const int openError = errno;
            ::close(folderFd);
            tempPath_.clear();
            return failed(error, ZIP_ER_TMPOPEN, openError);
        }
        // A cleaning run may have taken the file between its creation and the lock.
        if (fd_ >= 0 && !lockUnderName(fd_, folderFd, name)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ::close(folderFd);
    if (fd_ < 0) {
        tempPath_.clear();
        return failed(error, ZIP_ER_TMPOPEN, EEXIST);
    }
    return true;
}

int ArchiveCommit::commit(zip_uint64_t size, zip_error_t* error) {
    StandIns standIns(fd_, size, error);
    if ((settings_.comment && !standIns.writeTrueComment(*settings_.comment)) ||
        (!settings_.trueNames.empty() && !standIns.writeTrueNames(settings_.trueNames))) {
        discard();
        return -1;
    }
    // The data is on the disk before any name leads to it: after a power loss the folder holds
    // the old archive or the whole new one.
    if (::fsync(fd_) != 0) {
        failed(error, ZIP_ER_WRITE, errno);
        discard();
        return -1;
    }
    checkpoint("commit");
    if (!placeUnderName(error)) {
        discard();
        return -1;
    }
    tempPath_.clear();
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool ArchiveCommit::placeUnderName(zip_error_t* error) {
    if (!replacing_) {
        // Linking never replaces: an archive that appeared meanwhile stays as it is.
        int placeError = 0;
        if (tempPath_.empty()) {
            placeError = linkAs(fd_, path_);
        } else if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path_.c_str(),
                               RENAME_NOREPLACE) != 0) {
            placeError = errno;
            struct stat there {};
            if ((placeError == EINVAL || placeError == ENOSYS) &&
                ::lstat(path_.c_str(), &there) != 0) {
                placeError = ::rename(tempPath_.c_str(), path_.c_str()) == 0 ? 0 : errno;
            }
        }
        if (placeError != 0) {
            return failed(error, placeError == EEXIST ? ZIP_ER_EXISTS : ZIP_ER_RENAME, placeError);
        }
        return true;
    }
    for (int attempt = 0; attempt < kNameAttempts && tempPath_.empty(); ++attempt) {
        const std::string name = temporaryPath(folderOf(path_));
        const int linkError = linkAs(fd_, name);
        if (linkError == 0) {
            tempPath_ = name;
        } else if (linkError != EEXIST) {
            return failed(error, ZIP_ER_RENAME, linkError);
        }
    }
    if (tempPath_.empty()) {
        return failed(error, ZIP_ER_RENAME, EEXIST);
    }
    checkpoint("replace");
    if (::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        return failed(error, ZIP_ER_RENAME, errno);
    }
    return true;
}

void ArchiveCommit::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

}  // namespace zip32
