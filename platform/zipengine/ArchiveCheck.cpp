#include "platform/zipengine/ArchiveCheck.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/zipengine/EntryNames.h"
#include "platform/zipengine/ZipReason.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

namespace {

constexpr size_t kReadSize = 1 << 20;

struct Close {
    void operator()(zip_t* archive) const { zip_discard(archive); }
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Pages still cached would be read instead of the disk.
void dropCachedPages(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

std::string sizeReason(uint64_t found, uint64_t written) {
    return "Größe stimmt nicht (" + std::to_string(found) + " statt " + std::to_string(written) +
           " Bytes)";
}

const char* const kCrcReason = "Prüfsumme (CRC) stimmt nicht";

using ArchivePtr = std::unique_ptr<zip_t, Close>;

// Below this many entries one thread checks alone: opening more archives would cost more.
constexpr size_t kEntriesPerHelper = 64;
constexpr unsigned kMostThreads = 4;
constexpr auto kReportEvery = std::chrono::milliseconds(10);

// What one checking thread reuses from entry to entry.
struct Scratch {
    std::vector<unsigned char> raw;
    std::vector<unsigned char> data;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater{
        libdeflate_alloc_decompressor(), &libdeflate_free_decompressor};
};

// Entries up to this size, unencrypted, are read as they are stored and inflated whole by
// libdeflate, several times faster than libzip's zlib stream; larger or encrypted ones stream.
constexpr uint64_t kWholeLimit = 32ull << 20;

bool readsWhole(const zip_stat_t& st, const WrittenEntry& entry, const Scratch& scratch) {
    constexpr zip_uint64_t kNeeded =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    return entry.password.empty() && scratch.inflater && (st.valid & kNeeded) == kNeeded &&
           st.encryption_method == ZIP_EM_NONE && st.size <= kWholeLimit &&
           st.comp_size <= kWholeLimit &&
           (st.comp_method == ZIP_CM_STORE || st.comp_method == ZIP_CM_DEFLATE);
}

// The entry's data as read: its size and CRC; false with reason set when it cannot be read.
bool readEntry(zip_t* archive, zip_uint64_t index, const zip_stat_t& st, const WrittenEntry& entry,
               Scratch& scratch, uint64_t& size, uint32_t& crc, std::string& reason) {
    const bool whole = readsWhole(st, entry, scratch);
    std::unique_ptr<zip_file_t, Close> file(
        zip_fopen_index_encrypted(archive, index, whole ? ZIP_FL_COMPRESSED : 0,
                                  entry.password.empty() ? nullptr : entry.password.c_str()));
    if (!file) {
        reason = zipReason(archive);
        return false;
    }
    std::vector<unsigned char>& buffer = scratch.raw;
    buffer.resize(whole ? std::max<size_t>(st.comp_size, 1) : kReadSize);
    uint32_t sum = 0;
    size = 0;
    for (;;) {
        unsigned char* into = buffer.data() + (whole ? size : 0);
        const zip_uint64_t room = whole ? buffer.size() - size : buffer.size();
        const zip_int64_t got = room > 0 ? zip_fread(file.get(), into, room) : 0;
        if (got < 0) {
            reason = zipReason(file.get());
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!whole) {
            sum = libdeflate_crc32(sum, buffer.data(), static_cast<size_t>(got));
        }
        size += static_cast<uint64_t>(got);
    }
    if (whole) {
        const unsigned char* data = buffer.data();
        if (st.comp_method == ZIP_CM_DEFLATE) {
            scratch.data.resize(std::max<size_t>(st.size, 1));
            size_t inflated = 0;
            if (libdeflate_deflate_decompress(scratch.inflater.get(), buffer.data(), size,
                                              scratch.data.data(), st.size,
                                              &inflated) != LIBDEFLATE_SUCCESS) {
                reason = "Daten lassen sich nicht entpacken";
                return false;
            }
            data = scratch.data.data();
            size = inflated;
        }
        sum = libdeflate_crc32(0, data, size);
    }
    crc = sum;
    return true;
}

// Why the entry fails the check; empty when it holds.
std::string checkEntry(zip_t* archive, zip_uint64_t index, const WrittenEntry& entry,
                       Scratch& scratch) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0) {
        return zipReason(archive);
    }
    uint64_t size = 0;
    uint32_t crc = 0;
    std::string reason;
    if (!readEntry(archive, index, st, entry, scratch, size, crc, reason)) {
        return reason;
    }
    if (st.size != entry.size || size != entry.size) {
        return sizeReason(size != entry.size ? size : st.size, entry.size);
    }
    if (st.crc != entry.crc || crc != entry.crc) {
        return kCrcReason;
    }
    return std::string();
}

// The entries in the archive's order, taken one at a time by every checking thread, so that the
// file is read front to back; the first problem (in that order) among those found is kept.
class SharedCheck {
public:
    explicit SharedCheck(std::vector<std::pair<zip_uint64_t, const WrittenEntry*>> order)
        : order_(std::move(order)) {}

    size_t size() const { return order_.size(); }
    int32_t done() const { return done_; }
    bool failed() const { return failed_; }
    const CheckProblem& problem() const { return problem_; }

    // Checks entries until none is left or one has failed; after each, calls checked.
    void work(zip_t* archive, const std::function<void()>& checked) {
        Scratch scratch;
        for (size_t at = next_++; at < order_.size() && !failed_; at = next_++) {
            const auto& [index, entry] = order_[at];
            std::string reason = checkEntry(archive, index, *entry, scratch);
            if (!reason.empty()) {
                fail(at, {entry->name, std::move(reason)});
                return;
            }
            ++done_;
            if (checked) {
                checked();
            }
        }
    }

    void fail(size_t at, CheckProblem problem) {
        std::lock_guard lock(mutex_);
        if (!failed_ || at < failedAt_) {
            failedAt_ = at;
            problem_ = std::move(problem);
        }
        failed_ = true;
    }

private:
    std::vector<std::pair<zip_uint64_t, const WrittenEntry*>> order_;
    std::atomic<size_t> next_{0};
    std::atomic<int32_t> done_{0};
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    size_t failedAt_ = 0;
    CheckProblem problem_;
};

}  // namespace

int32_t checkArchive(const std::string& path, const std::vector<WrittenEntry>& entries,
                     const CheckProgress& progress, CheckProblem& problem) {
    dropCachedPages(path);
    int code = 0;
    // Each local header is compared with its central entry as well.
    ArchivePtr archive(zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        problem = {path, zipReason(error)};
        zip_error_fini(&error);
        return ZP_ERR_VERIFY;
    }
    std::vector<std::pair<zip_uint64_t, const WrittenEntry*>> order;
    order.reserve(entries.size());
    for (const WrittenEntry& entry : entries) {
        const int64_t index = locateEntry(archive.get(), entry.name);
        if (index < 0) {
            problem = {entry.name, "fehlt im Archiv"};
            return ZP_ERR_VERIFY;
        }
        order.emplace_back(static_cast<zip_uint64_t>(index), &entry);
    }
    std::sort(order.begin(), order.end());
    SharedCheck check(std::move(order));
    const auto total = static_cast<int32_t>(check.size());
    int32_t reported = 0;
    const auto report = [&] {
        const int32_t done = check.done();
        if (progress && (done != reported || done == 0)) {
            reported = done;
            progress(done, total);
        }
    };
    report();

    // Helpers open the archive for themselves; the calling thread checks too and reports the
    // progress, so that the callbacks run on it.
    const unsigned threads = std::clamp<unsigned>(
        std::min<size_t>(std::thread::hardware_concurrency(), check.size() / kEntriesPerHelper), 1,
        kMostThreads);
    std::vector<std::thread> helpers;
    std::atomic<unsigned> running{0};
    for (unsigned i = 1; i < threads; ++i) {
        ++running;
        try {
            helpers.emplace_back([&] {
                int helperCode = 0;
                ArchivePtr own(zip_open(path.c_str(), ZIP_RDONLY, &helperCode));
                if (own) {
                    check.work(own.get(), nullptr);
                }
                --running;
            });
        } catch (const std::system_error&) {
            --running;
        }
    }
    check.work(archive.get(), report);
    while (running > 0) {
        std::this_thread::sleep_for(kReportEvery);
        report();
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (check.failed()) {
        problem = check.problem();
        return ZP_ERR_VERIFY;
    }
    report();
    return ZP_OK;
}

}  // namespace zip32
