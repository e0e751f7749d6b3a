#include "platform/zipengine/ArchiveRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/SystemReason.h"
#include "platform/zipengine/EntryTime.h"
#include "platform/zipengine/WinZipAes.h"

namespace zip32 {

namespace {

constexpr unsigned kUnixHost = 3;

int64_t mtimeOf(const CentralRecord& record) {
    if (record.fields.hasTime) {
        const std::string_view field = record.fields.time;
        const std::optional<int64_t> exact = parseExtendedTime(
            reinterpret_cast<const uint8_t*>(field.data()), static_cast<uint16_t>(field.size()));
        if (exact) {
            return *exact;
        }
    }
    return dosTimeToSeconds(record.date, record.time);
}

int32_t encryptionOf(const CentralRecord& record) {
    if ((record.flags & kFlagEncrypted) == 0) {
        return -1;
    }
    return record.method == kMethodAes ? ZP_ENCRYPT_AES256 : ZP_ENCRYPT_TRADITIONAL;
}

}  // namespace

ArchiveReader::~ArchiveReader() {
    if (view_.fd >= 0) {
        ::close(view_.fd);
    }
}

int32_t ArchiveReader::open(const std::string& path, std::string& reason) {
    path_ = path;
    view_.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (view_.fd < 0 || ::fstat(view_.fd, &info) != 0) {
        reason = "kann nicht geöffnet werden: " + platform::systemReason(errno);
        return ZP_ERR_FILE_READ;
    }
    if (S_ISDIR(info.st_mode)) {
        reason = "ist ein Ordner, keine ZIP-Datei";
        return ZP_ERR_FILE_READ;
    }
    bool unreadable = false;
    if (!readDirectory(view_.fd, static_cast<uint64_t>(info.st_size), view_.directory, reason,
                       &unreadable)) {
        return unreadable ? ZP_ERR_FILE_READ : ZP_ERR_ARCHIVE_DAMAGED;
    }
    sortOffsets(view_);

    const std::vector<CentralRecord>& records = view_.directory.records;
    size_t namesSize = 0;
    for (const CentralRecord& record : records) {
        if (record.name.find('\0') != std::string_view::npos) {
            reason = "ZIP-Datei ist beschädigt (Name mit Nullbyte)";
            return ZP_ERR_ARCHIVE_DAMAGED;
        }
        namesSize += record.name.size() + 1;
    }
    names_.reserve(namesSize);
    entries_.reserve(records.size());
    for (const CentralRecord& record : records) {
        ZpEntryInfo info{};
        info.name = names_.data() + names_.size();
        names_.insert(names_.end(), record.name.begin(), record.name.end());
        names_.push_back('\0');
        info.nameLength = static_cast<uint32_t>(record.name.size());
        info.crc = record.crc;
        info.size = record.size;
        info.compressedSize = record.compressedSize;
        info.mtime = mtimeOf(record);
        info.mode = (record.versionMadeBy >> 8) == kUnixHost ? record.external >> 16 : 0;
        info.encryption = encryptionOf(record);
        entries_.push_back(info);
    }
    return ZP_OK;
}

EntryOutcome ArchiveReader::read(size_t index, const char* password,
                                 const EntryReading& reading) const {
    const CentralRecord& record = view_.directory.records[index];
    WrittenEntry entry;
    entry.name = std::string(record.name);
    entry.crc = record.crc;
    entry.size = record.size;
    entry.encrypted = (record.flags & kFlagEncrypted) != 0;
    if (record.method == kMethodAes) {
        // A record without a valid field still claims AES; the reading finds it damaged.
        entry.aesStrength = std::max(aesStrengthOf(record), 1);
    }
    if (password != nullptr && *password != '\0') {
        entry.password = std::make_shared<const Password>(password);
    }
    EntryReading rules = reading;
    rules.strict = false;
    // WinZip AE-2 leaves the CRC 0: its code stands for it.
    rules.crcKnown = !(record.method == kMethodAes && record.crc == 0);
    // Each thread keeps its buffers from entry to entry, and no two threads share them.
    thread_local EntryScratch scratch;
    return readEntry(view_, record, entry, scratch, rules);
}

int32_t ArchiveReader::extract(size_t index, const char* password, const EntrySink& sink,
                               std::string& reason) const {
    EntryReading reading;
    reading.sink = &sink;
    reading.wholeAtOnce = true;
    EntryOutcome outcome = read(index, password, reading);
    reason = std::move(outcome.reason);
    switch (outcome.fault) {
        case EntryFault::none:
            return ZP_OK;
        case EntryFault::stopped:
            reason.clear();
            return ZP_ERR_STOPPED;
        case EntryFault::noPassword:
            reason = "Passwort fehlt";
            return ZP_ERR_PASSWORD;
        case EntryFault::wrongPassword:
            reason = "falsches Passwort";
            return ZP_ERR_PASSWORD;
        case EntryFault::unreadable:
            return ZP_ERR_FILE_READ;
        case EntryFault::memory:
            return ZP_ERR_MEMORY;
        case EntryFault::damaged:
            break;
    }
    // A wrong password passes the traditional check byte once in 256 and garbles the data.
    if (entries_[index].encryption == ZP_ENCRYPT_TRADITIONAL && password != nullptr &&
        *password != '\0') {
        reason += " (Daten beschädigt oder falsches Passwort)";
    }
    return ZP_ERR_VERIFY;
}

int32_t ArchiveReader::checkPassword(size_t index, const char* password) const {
    if (entries_[index].encryption < 0) {
        return ZP_OK;
    }
    EntryReading reading;
    reading.passwordOnly = true;
    switch (read(index, password, reading).fault) {
        case EntryFault::noPassword:
        case EntryFault::wrongPassword:
            return ZP_ERR_PASSWORD;
        case EntryFault::unreadable:
            return ZP_ERR_FILE_READ;
        case EntryFault::memory:
            return ZP_ERR_MEMORY;
        default:
            return ZP_OK;
    }
}

}  // namespace zip32
