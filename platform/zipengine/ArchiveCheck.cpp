#include "platform/zipengine/ArchiveCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/SystemReason.h"
#include "platform/zipengine/EntryRead.h"
#include "platform/zipengine/ZipDirectory.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

namespace {

// Below this many entries one thread checks alone: starting more would cost more.
constexpr size_t kEntriesPerHelper = 64;
constexpr unsigned kMostThreads = 4;
constexpr auto kReportEvery = std::chrono::milliseconds(10);

using Job = std::pair<const CentralRecord*, const WrittenEntry*>;

// The entries in the archive's order, taken one at a time by every checking thread, so that the
// file is read front to back; the first problem (in that order) among those found is kept.
class SharedCheck {
public:
    SharedCheck(const ArchiveView& archive, std::vector<Job> order)
        : archive_(archive), order_(std::move(order)) {}

    size_t size() const { return order_.size(); }
    int32_t done() const { return done_; }
    bool failed() const { return failed_; }
    const CheckProblem& problem() const { return problem_; }

    // Checks entries until none is left or one has failed; after each, calls checked.
    void work(const std::function<void()>& checked) {
        EntryScratch scratch;
        for (size_t at = next_++; at < order_.size() && !failed_; at = next_++) {
            const auto& [record, entry] = order_[at];
            EntryOutcome outcome = readEntry(archive_, *record, *entry, scratch);
            if (outcome.fault != EntryFault::none) {
                fail(at, {entry->name, std::move(outcome.reason)});
                return;
            }
            ++done_;
            if (checked) {
                checked();
            }
        }
    }

private:
    void fail(size_t at, CheckProblem problem) {
        std::lock_guard lock(mutex_);
        if (!failed_ || at < failedAt_) {
            failedAt_ = at;
            problem_ = std::move(problem);
        }
        failed_ = true;
    }

    const ArchiveView& archive_;
    std::vector<Job> order_;
    std::atomic<size_t> next_{0};
    std::atomic<int32_t> done_{0};
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    size_t failedAt_ = 0;
    CheckProblem problem_;
};

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The written entries' records in the archive's order; false with problem set when one is
// missing or stands there twice.
bool findEntries(const Directory& directory, const std::vector<WrittenEntry>& entries,
                 std::vector<Job>& order, CheckProblem& problem) {
    constexpr size_t kTwice = SIZE_MAX;
    std::unordered_map<std::string_view, size_t> byName;
    byName.reserve(directory.records.size());
    for (size_t i = 0; i < directory.records.size(); ++i) {
        auto [at, added] = byName.emplace(directory.records[i].name, i);
        if (!added) {
            at->second = kTwice;
        }
    }
    order.reserve(entries.size());
    for (const WrittenEntry& entry : entries) {
        const auto found = byName.find(entry.name);
        if (found == byName.end()) {
            problem = {entry.name, "fehlt im Archiv"};
            return false;
        }
        if (found->second == kTwice) {
            problem = {entry.name, "steht mehrfach im Archiv"};
            return false;
        }
        order.emplace_back(&directory.records[found->second], &entry);
    }
    std::sort(order.begin(), order.end(),
              [](const Job& a, const Job& b) { return a.first->offset < b.first->offset; });
    return true;
}

}  // namespace

int32_t checkArchive(const std::string& path, const std::vector<WrittenEntry>& entries,
                     const CheckProgress& progress, CheckProblem& problem, uint64_t piece) {
    Descriptor file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        problem = {path, "kann nicht geöffnet werden: " + platform::systemReason(errno)};
        return ZP_ERR_VERIFY;
    }
    // Pages still cached would be read instead of the disk.
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    ArchiveView archive;
    archive.fd = file.fd;
    archive.piece = std::max<uint64_t>(piece, 1);
    std::string reason;
    if (!readDirectory(file.fd, static_cast<uint64_t>(info.st_size), archive.directory, reason)) {
        problem = {path, reason};
        return ZP_ERR_VERIFY;
    }
    sortOffsets(archive);
    std::vector<Job> order;
    if (!findEntries(archive.directory, entries, order, problem)) {
        return ZP_ERR_VERIFY;
    }

    SharedCheck check(archive, std::move(order));
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

    // The calling thread checks too and reports the progress, so that the callbacks run on it.
    const unsigned threads = std::clamp<unsigned>(
        std::min<size_t>(std::thread::hardware_concurrency(), check.size() / kEntriesPerHelper), 1,
        kMostThreads);
    std::vector<std::thread> helpers;
    std::atomic<unsigned> running{0};
    for (unsigned i = 1; i < threads; ++i) {
        ++running;
        try {
            helpers.emplace_back([&] {
                check.work(nullptr);
                --running;
            });
        } catch (const std::system_error&) {
            --running;
        }
    }
    check.work(report);
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
