#include "platform/zipengine/ArchiveFile.h"

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

int syncFolder(const std::string& folder) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return errno;
    }
    const int error = ::fsync(folderFd) == 0 ? 0 : errno;
    ::close(folderFd);
    return error;
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

class ArchiveFile {
public:
    ArchiveFile(std::string path, const WriteSettings& settings, ArchiveSync& sync)
        : path_(std::move(path)), settings_(settings), sync_(sync) {
        zip_error_init(&error_);
    }
    ~ArchiveFile() {
        discardTemp();
        closeRead();
        zip_error_fini(&error_);
    }
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    zip_int64_t command(void* data, zip_uint64_t length, zip_source_cmd_t cmd);

private:
    zip_int64_t fail(int zipError, int systemError) {
        zip_error_set(&error_, zipError, systemError);
        return -1;
    }
    bool failed(int zipError, int systemError) {
        zip_error_set(&error_, zipError, systemError);
        return false;
    }
    bool openRead();
    void closeRead() {
        if (readFd_ >= 0) {
            ::close(readFd_);
            readFd_ = -1;
        }
        readCache_.clear();
    }
    zip_int64_t stat(void* data, zip_uint64_t length);
    zip_int64_t read(void* data, zip_uint64_t length);
    zip_int64_t beginWrite(zip_uint64_t keep);
    bool openTemporary();
    bool openNamedTemporary();
    bool copyBeginning(zip_uint64_t keep);
    zip_int64_t write(const void* data, zip_uint64_t length);
    zip_int64_t seek(zip_uint64_t& position, zip_uint64_t end, void* data, zip_uint64_t length);
    zip_int64_t commitWrite();
    bool writeTrueComment();
    bool findDirectory(zip_uint64_t& directoryAt, zip_uint64_t& directorySize);
    bool writeTrueNames();
    bool readAt(void* to, size_t length, zip_uint64_t offset);
    bool writeAt(const void* from, size_t length, zip_uint64_t offset);
    bool placeUnderName();
    void checkpoint(const char* step) const {
        if (settings_.checkpoint) {
            settings_.checkpoint(step);
        }
    }
    void discardTemp();

    bool flush();
    void startWriteback(zip_uint64_t offset, zip_uint64_t length);

    // libzip reads the central directory and writes every header in pieces of a few bytes: both
    // go through a buffer, so that a piece costs a copy rather than a system call.
    static constexpr size_t kReadAhead = 256 * 1024;
    static constexpr size_t kWriteBuffer = 1024 * 1024;
    static constexpr zip_uint64_t kEarlyFlushEvery = 4 * 1024 * 1024;

    std::string path_;
    const WriteSettings& settings_;
    ArchiveSync& sync_;
    zip_error_t error_;
    int readFd_ = -1;
    std::vector<char> readCache_;
    zip_uint64_t cacheStart_ = 0;
    zip_uint64_t readOffset_ = 0;
    zip_uint64_t readSize_ = 0;
    std::string tempPath_;    // empty while the temporary file has no name
    bool replacing_ = false;  // the archive existed when writing began
    int writeFd_ = -1;
    zip_uint64_t writeOffset_ = 0;
    zip_uint64_t writeEnd_ = 0;
    std::vector<char> writeBuffer_;
    zip_uint64_t bufferStart_ = 0;
    zip_uint64_t unflushed_ = 0;  // written since the last early flush began
};

bool ArchiveFile::openRead() {
    if (readFd_ >= 0) {
        return true;
    }
    readFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (readFd_ < 0) {
        zip_error_set(&error_, ZIP_ER_OPEN, errno);
        return false;
    }
    struct stat info {};
    if (::fstat(readFd_, &info) != 0) {
        zip_error_set(&error_, ZIP_ER_READ, errno);
        closeRead();
        return false;
    }
    readSize_ = static_cast<zip_uint64_t>(info.st_size);
    return true;
}

zip_int64_t ArchiveFile::stat(void* data, zip_uint64_t length) {
    auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
    if (st == nullptr) {
        return -1;
    }
    struct stat info {};
    const int result = readFd_ >= 0 ? ::fstat(readFd_, &info) : ::stat(path_.c_str(), &info);
    if (result != 0) {
        // libzip takes ZIP_ER_READ with ENOENT as "the archive does not exist yet".
        return fail(ZIP_ER_READ, errno);
    }
    zip_stat_init(st);
    st->size = static_cast<zip_uint64_t>(info.st_size);
    st->mtime = info.st_mtime;
    st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
    return sizeof(*st);
}

zip_int64_t ArchiveFile::read(void* data, zip_uint64_t length) {
    auto* out = static_cast<char*>(data);
    zip_uint64_t done = 0;
    while (done < length) {
        const zip_uint64_t at = readOffset_ + done;
        const zip_uint64_t want = length - done;
        if (at >= cacheStart_ && at < cacheStart_ + readCache_.size()) {
            const auto n = std::min<zip_uint64_t>(want, cacheStart_ + readCache_.size() - at);
            std::memcpy(out + done, readCache_.data() + (at - cacheStart_), n);
            done += n;
            continue;
        }
        const bool direct = want >= kReadAhead;
        if (!direct) {
            readCache_.resize(kReadAhead);
        }
        char* target = direct ? out + done : readCache_.data();
        const ssize_t got =
            ::pread(readFd_, target, direct ? want : kReadAhead, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            readCache_.clear();
            return fail(ZIP_ER_READ, errno);
        }
        if (direct) {
            done += static_cast<zip_uint64_t>(got);
        } else {
            readCache_.resize(static_cast<size_t>(got));
            cacheStart_ = at;
        }
        if (got == 0) {
            break;
        }
    }
    readOffset_ += done;
    return static_cast<zip_int64_t>(done);
}

zip_int64_t ArchiveFile::beginWrite(zip_uint64_t keep) {
    discardTemp();
    struct stat original {};
    replacing_ = ::stat(path_.c_str(), &original) == 0;
    if (!openTemporary()) {
        return -1;
    }
    if (replacing_) {
        ::fchmod(writeFd_, original.st_mode & 07777);
    }
    writeOffset_ = 0;
    writeEnd_ = 0;
    if (keep > 0 && !copyBeginning(keep)) {
        discardTemp();
        return -1;
    }
    return 0;
}

// Owner-only (0600, less the umask): an archive may hold files that only their owner may read.
bool ArchiveFile::openTemporary() {
    if (!settings_.namedTemporary) {
        writeFd_ = ::open(folderOf(path_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (writeFd_ >= 0) {
            // Locked, so that its name at the moment of replacing is safe from cleaning runs.
            ::flock(writeFd_, LOCK_EX | LOCK_NB);
            return true;
        }
        // EISDIR: a kernel without O_TMPFILE; the others: a file system without it.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return failed(ZIP_ER_TMPOPEN, errno);
        }
    }
    return openNamedTemporary();
}

bool ArchiveFile::openNamedTemporary() {
    const std::string folder = folderOf(path_);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return failed(ZIP_ER_TMPOPEN, errno);
    }
    for (int attempt = 0; attempt < kNameAttempts && writeFd_ < 0; ++attempt) {
        tempPath_ = temporaryPath(folder);
        const char* name = tempPath_.c_str() + folder.size() + 1;
        writeFd_ = ::openat(folderFd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (writeFd_ < 0 && errno != EEXIST) {
            const int error = errno;
            ::close(folderFd);
            tempPath_.clear();
            return failed(ZIP_ER_TMPOPEN, error);
        }
        // A cleaning run may have taken the file between its creation and the lock.
        if (writeFd_ >= 0 && !lockUnderName(writeFd_, folderFd, name)) {
            ::close(writeFd_);
            writeFd_ = -1;
        }
    }
    ::close(folderFd);
    if (writeFd_ < 0) {
        tempPath_.clear();
        return failed(ZIP_ER_TMPOPEN, EEXIST);
    }
    return true;
}

// The first keep bytes of the archive into the temporary file: copy_file_range shares the
// blocks where the file system can, and copies without a trip through user space where not.
bool ArchiveFile::copyBeginning(zip_uint64_t keep) {
    if (!openRead()) {
        return false;
    }
    loff_t in = 0;
    loff_t out = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;  // only where the kernel cannot copy
    while (static_cast<zip_uint64_t>(out) < keep) {
        const auto want = static_cast<size_t>(keep - static_cast<zip_uint64_t>(out));
        ssize_t done = -1;
        if (kernelCopy) {
            done = ::copy_file_range(readFd_, &in, writeFd_, &out, want, 0);
            if (done < 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(std::min<size_t>(want, 1 << 20));
            done = ::pread(readFd_, buffer.data(), buffer.size(), in);
            if (done > 0) {
                ssize_t put = ::pwrite(writeFd_, buffer.data(), static_cast<size_t>(done), out);
                if (put != done) {
                    zip_error_set(&error_, ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
                    return false;
                }
                in += done;
                out += done;
            }
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            zip_error_set(&error_, ZIP_ER_WRITE, errno);
            return false;
        }
        if (done == 0) {
            zip_error_set(&error_, ZIP_ER_EOF, 0);
            return false;
        }
    }
    startWriteback(0, keep);
    writeOffset_ = keep;
    writeEnd_ = keep;
    return true;
}

zip_int64_t ArchiveFile::write(const void* data, zip_uint64_t length) {
    const auto* in = static_cast<const char*>(data);
    zip_uint64_t done = 0;
    while (done < length) {
        if (writeBuffer_.empty()) {
            bufferStart_ = writeOffset_;
        }
        // A write inside or right behind the buffer lands in it: libzip's rewrite of a local
        // header after its data then costs no system call.
        const zip_uint64_t bufferEnd = bufferStart_ + writeBuffer_.size();
        if (writeOffset_ < bufferStart_ || writeOffset_ > bufferEnd ||
            writeOffset_ - bufferStart_ == kWriteBuffer) {
            if (!flush()) {
                return -1;
            }
            continue;
        }
        const auto at = static_cast<size_t>(writeOffset_ - bufferStart_);
        const auto n =
            static_cast<size_t>(std::min<zip_uint64_t>(length - done, kWriteBuffer - at));
        if (at + n > writeBuffer_.size()) {
            writeBuffer_.resize(at + n);
        }
        std::memcpy(writeBuffer_.data() + at, in + done, n);
        done += n;
        writeOffset_ += n;
    }
    writeEnd_ = std::max(writeEnd_, writeOffset_);
    return static_cast<zip_int64_t>(done);
}

bool ArchiveFile::flush() {
    size_t done = 0;
    while (done < writeBuffer_.size()) {
        const ssize_t put =
            ::pwrite(writeFd_, writeBuffer_.data() + done, writeBuffer_.size() - done,
                     static_cast<off_t>(bufferStart_ + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            writeBuffer_.clear();
            zip_error_set(&error_, ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    startWriteback(bufferStart_, writeBuffer_.size());
    writeBuffer_.clear();
    return true;
}

// The archive is synced before the run reports success; writing back what is complete while
// the rest is still being compressed leaves that sync little to wait for. sync_file_range only
// starts the writing: the device's flush, which the sync waits for, still costs time in
// proportion to what was written, so every few megabytes a flush runs alongside.
void ArchiveFile::startWriteback(zip_uint64_t offset, zip_uint64_t length) {
    ::sync_file_range(writeFd_, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                      SYNC_FILE_RANGE_WRITE);
    unflushed_ += length;
    if (unflushed_ >= kEarlyFlushEvery) {
        sync_.flushEarly(writeFd_);
        unflushed_ = 0;
    }
}

// Moves position as libzip's seek arguments in data say, within a file of size end.
zip_int64_t ArchiveFile::seek(zip_uint64_t& position, zip_uint64_t end, void* data,
                              zip_uint64_t length) {
    const zip_int64_t offset = zip_source_seek_compute_offset(position, end, data, length, &error_);
    if (offset < 0) {
        return -1;
    }
    position = static_cast<zip_uint64_t>(offset);
    return 0;
}

zip_int64_t ArchiveFile::commitWrite() {
    if (!flush() || !writeTrueComment() || !writeTrueNames()) {
        discardTemp();
        return -1;
    }
    // The data is on the disk before any name leads to it: after a power loss the folder holds
    // the old archive or the whole new one.
    if (::fsync(writeFd_) != 0) {
        fail(ZIP_ER_WRITE, errno);
        discardTemp();
        return -1;
    }
    checkpoint("commit");
    if (!placeUnderName()) {
        discardTemp();
        return -1;
    }
    tempPath_.clear();
    // What is read from now on is the new archive; the replaced one is closed later, off the
    // path to the run's result.
    const int replacedFd = readFd_;
    readFd_ = -1;
    closeRead();
    sync_.start(writeFd_, folderOf(path_), replacedFd);
    writeFd_ = -1;
    return 0;
}

// libzip has written a stand-in of the same length, the last bytes of the archive.
bool ArchiveFile::writeTrueComment() {
    if (!settings_.comment) {
        return true;
    }
    const std::string& comment = *settings_.comment;
    if (writeEnd_ < kEndRecordSize + comment.size()) {
        return failed(ZIP_ER_INTERNAL, 0);
    }
    const zip_uint64_t at = writeEnd_ - comment.size();
    unsigned char end[kEndRecordSize];
    const ssize_t got =
        ::pread(writeFd_, end, kEndRecordSize, static_cast<off_t>(at - kEndRecordSize));
    if (got != static_cast<ssize_t>(kEndRecordSize)) {
        return failed(ZIP_ER_READ, got < 0 ? errno : EIO);
    }
    if (std::memcmp(end, "PK\x05\x06", 4) != 0 ||
        static_cast<size_t>(end[20] | end[21] << 8) != comment.size()) {
        return failed(ZIP_ER_INTERNAL, 0);
    }
    const ssize_t put = ::pwrite(writeFd_, comment.data(), comment.size(), static_cast<off_t>(at));
    if (put != static_cast<ssize_t>(comment.size())) {
        return failed(ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
    }
    return true;
}

bool ArchiveFile::readAt(void* to, size_t length, zip_uint64_t offset) {
    const ssize_t got = ::pread(writeFd_, to, length, static_cast<off_t>(offset));
    return got == static_cast<ssize_t>(length) || failed(ZIP_ER_READ, got < 0 ? errno : EIO);
}

bool ArchiveFile::writeAt(const void* from, size_t length, zip_uint64_t offset) {
    const ssize_t put = ::pwrite(writeFd_, from, length, static_cast<off_t>(offset));
    return put == static_cast<ssize_t>(length) || failed(ZIP_ER_WRITE, put < 0 ? errno : ENOSPC);
}

// The place and size of the central directory that libzip wrote, from the end record (found
// from the back: a comment may follow it) or, where that does not hold them, its ZIP64 form.
bool ArchiveFile::findDirectory(zip_uint64_t& directoryAt, zip_uint64_t& directorySize) {
    const size_t tailLength =
        static_cast<size_t>(std::min<zip_uint64_t>(writeEnd_, kEndRecordSize + kLongestComment));
    std::vector<unsigned char> tail(tailLength);
    if (tailLength < kEndRecordSize || !readAt(tail.data(), tailLength, writeEnd_ - tailLength)) {
        return failed(ZIP_ER_INTERNAL, 0);
    }
    std::optional<size_t> end;
    for (size_t at = tailLength - kEndRecordSize + 1; !end && at-- > 0;) {
        if (std::memcmp(&tail[at], "PK\x05\x06", 4) == 0 &&
            at + kEndRecordSize + get16(&tail[at + 20]) == tailLength) {
            end = at;
        }
    }
    if (!end) {
        return failed(ZIP_ER_INTERNAL, 0);
    }
    const unsigned char* record = &tail[*end];
    directorySize = get32(record + 12);
    directoryAt = get32(record + 16);
    if (directoryAt == 0xFFFFFFFF || directorySize == 0xFFFFFFFF || get16(record + 10) == 0xFFFF) {
        const zip_uint64_t endAt = writeEnd_ - tailLength + *end;
        unsigned char locator[kZip64LocatorSize];
        unsigned char zip64[kZip64EndRecordSize];
        if (endAt < kZip64LocatorSize ||
            !readAt(locator, sizeof locator, endAt - kZip64LocatorSize) ||
            std::memcmp(locator, "PK\x06\x07", 4) != 0 ||
            !readAt(zip64, sizeof zip64, get64(locator + 8)) ||
            std::memcmp(zip64, "PK\x06\x06", 4) != 0) {
            return failed(ZIP_ER_INTERNAL, 0);
        }
        directorySize = get64(zip64 + 40);
        directoryAt = get64(zip64 + 48);
    }
    return directoryAt + directorySize <= writeEnd_ || failed(ZIP_ER_INTERNAL, 0);
}

// Puts each stand-in's true name into its central directory record and its local header; a
// record that is not as libzip writes it fails the commit.
bool ArchiveFile::writeTrueNames() {
    zip_uint64_t directoryAt = 0;
    zip_uint64_t directorySize = 0;
    if (settings_.trueNames.empty()) {
        return true;
    }
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
            return failed(ZIP_ER_INTERNAL, 0);
        }
        const std::string name(reinterpret_cast<const char*>(record + kCentralHeaderSize),
                               nameLength);
        const auto trueName = settings_.trueNames.find(name);
        if (trueName != settings_.trueNames.end()) {
            const std::optional<uint64_t> localAt = localHeaderOffset(record, extraLength);
            unsigned char local[kLocalHeaderSize];
            std::string localName(nameLength, '\0');
            if (!localAt || !readAt(local, sizeof local, *localAt) ||
                !readAt(localName.data(), nameLength, *localAt + kLocalHeaderSize)) {
                return failed(ZIP_ER_INTERNAL, 0);
            }
            if (std::memcmp(local, "PK\x03\x04", 4) != 0 || localName != name ||
                trueName->second.size() != nameLength) {
                return failed(ZIP_ER_INTERNAL, 0);
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
    return found == settings_.trueNames.size() || failed(ZIP_ER_INTERNAL, 0);
}

bool ArchiveFile::placeUnderName() {
    if (!replacing_) {
        // Linking never replaces: an archive that appeared meanwhile stays as it is.
        int error = 0;
        if (tempPath_.empty()) {
            error = linkAs(writeFd_, path_);
        } else if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path_.c_str(),
                               RENAME_NOREPLACE) != 0) {
            error = errno;
            struct stat there {};
            if ((error == EINVAL || error == ENOSYS) && ::lstat(path_.c_str(), &there) != 0) {
                error = ::rename(tempPath_.c_str(), path_.c_str()) == 0 ? 0 : errno;
            }
        }
        if (error != 0) {
            return failed(error == EEXIST ? ZIP_ER_EXISTS : ZIP_ER_RENAME, error);
        }
        return true;
    }
    for (int attempt = 0; attempt < kNameAttempts && tempPath_.empty(); ++attempt) {
        const std::string name = temporaryPath(folderOf(path_));
        const int error = linkAs(writeFd_, name);
        if (error == 0) {
            tempPath_ = name;
        } else if (error != EEXIST) {
            return failed(ZIP_ER_RENAME, error);
        }
    }
    if (tempPath_.empty()) {
        return failed(ZIP_ER_RENAME, EEXIST);
    }
    checkpoint("replace");
    if (::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        return failed(ZIP_ER_RENAME, errno);
    }
    return true;
}

void ArchiveFile::discardTemp() {
    writeBuffer_.clear();
    if (writeFd_ >= 0) {
        ::close(writeFd_);
        writeFd_ = -1;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

zip_int64_t ArchiveFile::command(void* data, zip_uint64_t length, zip_source_cmd_t cmd) {
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            if (!openRead()) {
                return -1;
            }
            readOffset_ = 0;
            return 0;
        case ZIP_SOURCE_READ:
            return read(data, length);
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT:
            return stat(data, length);
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error_, data, length);
        case ZIP_SOURCE_FREE:
            delete this;
            return 0;
        case ZIP_SOURCE_SEEK:
            return seek(readOffset_, readSize_, data, length);
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(readOffset_);
        case ZIP_SOURCE_BEGIN_WRITE:
            return beginWrite(0);
        case ZIP_SOURCE_BEGIN_WRITE_CLONING:
            return beginWrite(length);
        case ZIP_SOURCE_WRITE:
            return write(data, length);
        case ZIP_SOURCE_SEEK_WRITE:
            return seek(writeOffset_, writeEnd_, data, length);
        case ZIP_SOURCE_TELL_WRITE:
            return static_cast<zip_int64_t>(writeOffset_);
        case ZIP_SOURCE_COMMIT_WRITE:
            return commitWrite();
        case ZIP_SOURCE_ROLLBACK_WRITE:
            discardTemp();
            return 0;
        case ZIP_SOURCE_REMOVE:
            closeRead();
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
                return fail(ZIP_ER_REMOVE, errno);
            }
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_BEGIN_WRITE_CLONING,
                ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_WRITE,
                ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
        default:
            return fail(ZIP_ER_OPNOTSUPP, 0);
    }
}

zip_int64_t dispatch(void* state, void* data, zip_uint64_t length, zip_source_cmd_t cmd) {
    return static_cast<ArchiveFile*>(state)->command(data, length, cmd);
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

zip_source_t* createArchiveFileSource(const std::string& path, const WriteSettings& settings,
                                      ArchiveSync& sync, zip_error_t* error) {
    auto* file = new ArchiveFile(path, settings, sync);
    zip_source_t* source = zip_source_function_create(&dispatch, file, error);
    if (source == nullptr) {
        delete file;
    }
    return source;
}

}  // namespace zip32
