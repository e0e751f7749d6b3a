#include "platform/zipengine/ArchiveCheck.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <memory>
#include <utility>

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

// The entry's data as read: its size and CRC; false with reason set when it cannot be read.
bool readEntry(zip_t* archive, zip_uint64_t index, const WrittenEntry& entry,
               std::vector<unsigned char>& buffer, uint64_t& size, uint32_t& crc,
               std::string& reason) {
    std::unique_ptr<zip_file_t, Close> file(zip_fopen_index_encrypted(
        archive, index, 0, entry.password.empty() ? nullptr : entry.password.c_str()));
    if (!file) {
        reason = zipReason(archive);
        return false;
    }
    uint32_t sum = 0;
    size = 0;
    for (;;) {
        const zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
        if (got < 0) {
            reason = zipReason(file.get());
            return false;
        }
        if (got == 0) {
            break;
        }
        sum = libdeflate_crc32(sum, buffer.data(), static_cast<size_t>(got));
        size += static_cast<uint64_t>(got);
    }
    crc = sum;
    return true;
}

}  // namespace

int32_t checkArchive(const std::string& path, const std::vector<WrittenEntry>& entries,
                     const CheckProgress& progress, CheckProblem& problem) {
    dropCachedPages(path);
    int code = 0;
    // Each local header is compared with its central entry as well.
    std::unique_ptr<zip_t, Close> archive(
        zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        problem = {path, zipReason(error)};
        zip_error_fini(&error);
        return ZP_ERR_VERIFY;
    }
    // In the archive's order, so that the disk is read front to back.
    std::vector<std::pair<zip_uint64_t, const WrittenEntry*>> order;
    order.reserve(entries.size());
    for (const WrittenEntry& entry : entries) {
        const zip_int64_t index =
            zip_name_locate(archive.get(), entry.name.c_str(), ZIP_FL_ENC_RAW);
        if (index < 0) {
            problem = {entry.name, "fehlt im Archiv"};
            return ZP_ERR_VERIFY;
        }
        order.emplace_back(static_cast<zip_uint64_t>(index), &entry);
    }
    std::sort(order.begin(), order.end());

    std::vector<unsigned char> buffer(kReadSize);
    const auto total = static_cast<int32_t>(order.size());
    int32_t done = 0;
    if (progress) {
        progress(done, total);
    }
    for (const auto& [index, entry] : order) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), index, 0, &st) != 0) {
            problem = {entry->name, zipReason(archive.get())};
            return ZP_ERR_VERIFY;
        }
        uint64_t size = 0;
        uint32_t crc = 0;
        std::string reason;
        if (!readEntry(archive.get(), index, *entry, buffer, size, crc, reason)) {
            problem = {entry->name, reason};
            return ZP_ERR_VERIFY;
        }
        if (st.size != entry->size || size != entry->size) {
            problem = {entry->name, sizeReason(size != entry->size ? size : st.size, entry->size)};
            return ZP_ERR_VERIFY;
        }
        if (st.crc != entry->crc || crc != entry->crc) {
            problem = {entry->name, kCrcReason};
            return ZP_ERR_VERIFY;
        }
        if (progress) {
            progress(++done, total);
        }
    }
    return ZP_OK;
}

}  // namespace zip32
