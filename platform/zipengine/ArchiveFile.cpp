#include "platform/zipengine/ArchiveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/zipengine/ArchiveCommit.h"
#include "platform/zipengine/ArchiveSync.h"

namespace zip32 {

namespace {

// One archive's source: the read side (a descriptor and a read-ahead cache) and the write side
// (a buffer in front of the commit's temporary file).
class ArchiveFile {
public:
    ArchiveFile(std::string path, const WriteSettings& settings, ArchiveSync& sync)
        : path_(std::move(path)), commit_(path_, settings), sync_(sync) {
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
    bool copyBeginning(zip_uint64_t keep);
    zip_int64_t write(const void* data, zip_uint64_t length);
    zip_int64_t seek(zip_uint64_t& position, zip_uint64_t end, void* data, zip_uint64_t length);
    zip_int64_t commitWrite();
    void discardTemp() {
        writeBuffer_.clear();
        commit_.discard();
    }

    bool flush();
    void startWriteback(zip_uint64_t offset, zip_uint64_t length);

    // libzip reads the central directory and writes every header in pieces of a few bytes: both
    // go through a buffer, so that a piece costs a copy rather than a system call.
    static constexpr size_t kReadAhead = 256 * 1024;
    static constexpr size_t kWriteBuffer = 1024 * 1024;
    static constexpr zip_uint64_t kEarlyFlushEvery = 4 * 1024 * 1024;

    std::string path_;
    ArchiveCommit commit_;
    ArchiveSync& sync_;
    zip_error_t error_;
    int readFd_ = -1;
    std::vector<char> readCache_;
    zip_uint64_t cacheStart_ = 0;
    zip_uint64_t readOffset_ = 0;
    zip_uint64_t readSize_ = 0;
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
    writeBuffer_.clear();
    if (!commit_.begin(&error_)) {
        return -1;
    }
    writeOffset_ = 0;
    writeEnd_ = 0;
    if (keep > 0 && !copyBeginning(keep)) {
        discardTemp();
        return -1;
    }
    return 0;
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
            done = ::copy_file_range(readFd_, &in, commit_.fd(), &out, want, 0);
            if (done < 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(std::min<size_t>(want, 1 << 20));
            done = ::pread(readFd_, buffer.data(), buffer.size(), in);
            if (done > 0) {
                ssize_t put = ::pwrite(commit_.fd(), buffer.data(), static_cast<size_t>(done), out);
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
            ::pwrite(commit_.fd(), writeBuffer_.data() + done, writeBuffer_.size() - done,
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
    ::sync_file_range(commit_.fd(), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                      SYNC_FILE_RANGE_WRITE);
    unflushed_ += length;
    if (unflushed_ >= kEarlyFlushEvery) {
        sync_.flushEarly(commit_.fd());
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
    const int fd = flush() ? commit_.commit(writeEnd_, &error_) : -1;
    if (fd < 0) {
        discardTemp();
        return -1;
    }
    // What is read from now on is the new archive; the replaced one is closed later, off the
    // path to the run's result.
    const int replacedFd = readFd_;
    readFd_ = -1;
    closeRead();
    sync_.start(fd, folderOf(path_), replacedFd);
    return 0;
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
