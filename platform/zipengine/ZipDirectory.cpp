#include "platform/zipengine/ZipDirectory.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/SystemReason.h"

namespace zip32 {

namespace {

constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
constexpr uint64_t kZip64EndRecordRest = 44;  // its size field counts what follows the field
constexpr size_t kCentralRecordSize = 46;
constexpr size_t kLongestComment = 0xFFFF;
constexpr uint16_t kZip64Id = 0x0001;
constexpr uint16_t kTimeId = 0x5455;
constexpr uint16_t kAesId = 0x9901;
constexpr uint32_t kMax32 = 0xFFFFFFFF;
constexpr uint16_t kMax16 = 0xFFFF;

const char* const kNoZip = "keine ZIP-Datei";
const char* const kBrokenEnd = "ZIP-Datei ist beschädigt (Ende des Verzeichnisses)";
const char* const kBrokenDirectory = "ZIP-Datei ist beschädigt (Verzeichnis)";

bool hasSignature(const char* at, char kind, char number) {
    return at[0] == 'P' && at[1] == 'K' && at[2] == kind && at[3] == number;
}

// What a 32-bit field holds for a value that needs ZIP64 when it does not fit.
bool fieldStandsFor(uint64_t field, uint64_t value, uint64_t max) {
    return field == std::min(value, max);
}

// Takes the 8-byte values that the ZIP64 field holds for the saturated fields, in their order.
class Zip64Reader {
public:
    explicit Zip64Reader(std::string_view field) : field_(field) {}
    void take(uint64_t& value, bool saturated) {
        if (!saturated) {
            return;
        }
        if (at_ + 8 > field_.size()) {
            short_ = true;
            return;
        }
        value = get64(field_.data() + at_);
        at_ += 8;
    }
    void take(uint32_t& value, bool saturated) {
        if (!saturated) {
            return;
        }
        if (at_ + 4 > field_.size()) {
            short_ = true;
            return;
        }
        value = get32(field_.data() + at_);
        at_ += 4;
    }
    // Every value was there and nothing follows them.
    bool exact() const { return !short_ && at_ == field_.size(); }

private:
    std::string_view field_;
    size_t at_ = 0;
    bool short_ = false;
};

bool parseCentralRecord(const char* at, size_t room, CentralRecord& record, size_t& length) {
    if (room < kCentralRecordSize || !hasSignature(at, 1, 2)) {
        return false;
    }
    const size_t nameLength = get16(at + 28);
    const size_t extraLength = get16(at + 30);
    const size_t commentLength = get16(at + 32);
    length = kCentralRecordSize + nameLength + extraLength + commentLength;
    if (length > room) {
        return false;
    }
    record.versionMadeBy = get16(at + 4);
    record.versionNeeded = get16(at + 6);
    record.flags = get16(at + 8);
    record.method = get16(at + 10);
    record.time = get16(at + 12);
    record.date = get16(at + 14);
    record.crc = get32(at + 16);
    const uint32_t compressed32 = get32(at + 20);
    const uint32_t size32 = get32(at + 24);
    const uint16_t disk16 = get16(at + 34);
    record.external = get32(at + 38);
    const uint32_t offset32 = get32(at + 42);
    record.name = std::string_view(at + kCentralRecordSize, nameLength);
    record.extra = std::string_view(at + kCentralRecordSize + nameLength, extraLength);
    record.fields = parseExtraFields(record.extra);
    record.compressedSize = compressed32;
    record.size = size32;
    record.offset = offset32;
    record.disk = disk16;
    if (!record.fields.ok) {
        record.broken = "Zusatzfelder";
        return true;
    }
    const bool saturated =
        size32 == kMax32 || compressed32 == kMax32 || offset32 == kMax32 || disk16 == kMax16;
    if (saturated) {
        Zip64Reader zip64(record.fields.zip64);
        zip64.take(record.size, size32 == kMax32);
        zip64.take(record.compressedSize, compressed32 == kMax32);
        zip64.take(record.offset, offset32 == kMax32);
        zip64.take(record.disk, disk16 == kMax16);
        record.zip64 = true;
        if (!record.fields.hasZip64 || !zip64.exact()) {
            record.broken = "ZIP64";
        }
    }
    return true;
}

// The end record's place in tail (the file's last bytes), or npos: the last signature, as
// clients search for it.
size_t findEndRecord(std::string_view tail) {
    if (tail.size() < kEndRecordSize) {
        return std::string_view::npos;
    }
    for (size_t at = tail.size() - kEndRecordSize + 1; at-- > 0;) {
        if (hasSignature(tail.data() + at, 5, 6)) {
            return at;
        }
    }
    return std::string_view::npos;
}

struct EndRecord {
    uint64_t entries = 0;
    uint64_t size = 0;    // of the central directory
    uint64_t offset = 0;  // of the central directory
    uint64_t end = 0;     // where the central directory must end
};

// The ZIP64 end record, when a locator stands before the end record at endAt; it must lie right
// before the locator, as Python's zipfile assumes. False with reason when it is broken.
bool readZip64End(int fd, uint64_t endAt, const char* end32, EndRecord& end, bool& present,
                  std::string& reason) {
    present = false;
    if (endAt < kZip64LocatorSize + kZip64EndRecordSize) {
        return true;
    }
    char locator[kZip64LocatorSize];
    if (!readAt(fd, locator, sizeof locator, endAt - kZip64LocatorSize, reason)) {
        return false;
    }
    if (!hasSignature(locator, 6, 7)) {
        return true;
    }
    present = true;
    const uint64_t recordAt = endAt - kZip64LocatorSize - kZip64EndRecordSize;
    char record[kZip64EndRecordSize];
    if (get32(locator + 4) != 0 || get64(locator + 8) != recordAt || get32(locator + 16) != 1 ||
        !readAt(fd, record, sizeof record, recordAt, reason)) {
        reason = reason.empty() ? kBrokenEnd : reason;
        return false;
    }
    end.entries = get64(record + 32);
    end.size = get64(record + 40);
    end.offset = get64(record + 48);
    end.end = recordAt;
    const bool consistent = hasSignature(record, 6, 6) &&
                            get64(record + 4) == kZip64EndRecordRest && get32(record + 16) == 0 &&
                            get32(record + 20) == 0 && get64(record + 24) == end.entries &&
                            get16(end32 + 4) == 0 && get16(end32 + 6) == 0 &&
                            fieldStandsFor(get16(end32 + 8), end.entries, kMax16) &&
                            fieldStandsFor(get16(end32 + 10), end.entries, kMax16) &&
                            fieldStandsFor(get32(end32 + 12), end.size, kMax32) &&
                            fieldStandsFor(get32(end32 + 16), end.offset, kMax32);
    if (!consistent) {
        reason = kBrokenEnd;
        return false;
    }
    return true;
}

}  // namespace

uint16_t get16(const char* at) {
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t get32(const char* at) {
    return static_cast<uint32_t>(get16(at)) | static_cast<uint32_t>(get16(at + 2)) << 16;
}

uint64_t get64(const char* at) {
    return static_cast<uint64_t>(get32(at)) | static_cast<uint64_t>(get32(at + 4)) << 32;
}

bool readAt(int fd, char* into, size_t length, uint64_t offset, std::string& reason) {
    size_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = "Lesefehler: " + platform::systemReason(errno);
            return false;
        }
        if (got == 0) {
            reason = "Datei endet vorzeitig";
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

ExtraFields parseExtraFields(std::string_view block) {
    ExtraFields fields;
    size_t at = 0;
    while (at < block.size()) {
        if (block.size() - at < 4) {
            fields.ok = false;
            break;
        }
        const uint16_t id = get16(block.data() + at);
        const size_t length = get16(block.data() + at + 2);
        if (block.size() - at - 4 < length) {
            fields.ok = false;
            break;
        }
        const std::string_view data = block.substr(at + 4, length);
        if (id == kZip64Id) {
            fields.ok = fields.ok && !fields.hasZip64;
            fields.hasZip64 = true;
            fields.zip64 = data;
        } else if (id == kTimeId) {
            fields.ok = fields.ok && !fields.hasTime;
            fields.hasTime = true;
            fields.time = data;
        } else if (id == kAesId) {
            fields.ok = fields.ok && !fields.hasAes;
            fields.hasAes = true;
            fields.aes = data;
        }
        at += 4 + length;
    }
    return fields;
}

bool parseLocalHeader(std::string_view bytes, EntryHeader& header) {
    if (bytes.size() < kLocalHeaderSize || !hasSignature(bytes.data(), 3, 4)) {
        return false;
    }
    const char* at = bytes.data();
    const size_t nameLength = get16(at + 26);
    const size_t extraLength = get16(at + 28);
    if (bytes.size() < kLocalHeaderSize + nameLength + extraLength) {
        return false;
    }
    header.versionNeeded = get16(at + 4);
    header.flags = get16(at + 6);
    header.method = get16(at + 8);
    header.time = get16(at + 10);
    header.date = get16(at + 12);
    header.crc = get32(at + 14);
    const uint32_t compressed32 = get32(at + 18);
    const uint32_t size32 = get32(at + 22);
    header.compressedSize = compressed32;
    header.size = size32;
    header.name = bytes.substr(kLocalHeaderSize, nameLength);
    header.extra = bytes.substr(kLocalHeaderSize + nameLength, extraLength);
    header.fields = parseExtraFields(header.extra);
    header.broken = "";
    if (!header.fields.ok) {
        header.broken = "Zusatzfelder";
        return true;
    }
    // A local ZIP64 field holds both sizes; clients read them when both fields are saturated.
    const bool saturated = compressed32 == kMax32 || size32 == kMax32;
    header.zip64 = header.fields.hasZip64;
    if (!header.fields.hasZip64) {
        if (saturated) {
            header.broken = "ZIP64";
        }
        return true;
    }
    if (header.fields.zip64.size() != 16) {
        header.broken = "ZIP64";
        return true;
    }
    const uint64_t size64 = get64(header.fields.zip64.data());
    const uint64_t compressed64 = get64(header.fields.zip64.data() + 8);
    if (saturated) {
        if (compressed32 != kMax32 || size32 != kMax32) {
            header.broken = "ZIP64";
        }
        header.size = size64;
        header.compressedSize = compressed64;
    } else if (size64 != size32 || compressed64 != compressed32) {
        header.broken = "ZIP64";
    }
    return true;
}

bool readDirectory(int fd, uint64_t size, Directory& directory, std::string& reason,
                   bool* unreadable) {
    const auto tailLength =
        static_cast<size_t>(std::min<uint64_t>(size, kEndRecordSize + kLongestComment));
    std::vector<char> tail(tailLength);
    if (!readAt(fd, tail.data(), tail.size(), size - tailLength, reason)) {
        if (unreadable != nullptr) {
            *unreadable = true;
        }
        return false;
    }
    const size_t found = findEndRecord(std::string_view(tail.data(), tail.size()));
    if (found == std::string_view::npos) {
        reason = kNoZip;
        return false;
    }
    const char* end32 = tail.data() + found;
    const uint64_t endAt = size - tailLength + found;
    if (found + kEndRecordSize + get16(end32 + 20) != tail.size()) {
        reason = kBrokenEnd;
        return false;
    }
    EndRecord end;
    bool zip64 = false;
    if (!readZip64End(fd, endAt, end32, end, zip64, reason)) {
        if (unreadable != nullptr) {
            *unreadable = reason != kBrokenEnd;
        }
        return false;
    }
    if (!zip64) {
        end.entries = get16(end32 + 10);
        end.size = get32(end32 + 12);
        end.offset = get32(end32 + 16);
        end.end = endAt;
        if (get16(end32 + 4) != 0 || get16(end32 + 6) != 0 || get16(end32 + 8) != end.entries) {
            reason = kBrokenEnd;
            return false;
        }
    }
    if (end.offset > end.end || end.end - end.offset != end.size ||
        end.entries > end.size / kCentralRecordSize) {
        reason = kBrokenEnd;
        return false;
    }
    directory.start = end.offset;
    directory.bytes.resize(static_cast<size_t>(end.size));
    if (!readAt(fd, directory.bytes.data(), directory.bytes.size(), end.offset, reason)) {
        if (unreadable != nullptr) {
            *unreadable = true;
        }
        return false;
    }
    directory.records.clear();
    directory.records.reserve(static_cast<size_t>(end.entries));
    size_t at = 0;
    for (uint64_t i = 0; i < end.entries; ++i) {
        CentralRecord record;
        size_t length = 0;
        if (!parseCentralRecord(directory.bytes.data() + at, directory.bytes.size() - at, record,
                                length)) {
            reason = kBrokenDirectory;
            return false;
        }
        directory.records.push_back(record);
        at += length;
    }
    if (at != directory.bytes.size()) {
        reason = kBrokenDirectory;
        return false;
    }
    return true;
}

}  // namespace zip32
