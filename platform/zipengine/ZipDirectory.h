#pragma once
// The layout of a ZIP archive as its clients read it, parsed from the file's bytes: the end
// record (and its ZIP64 form), the central directory's records, the local headers and their
// extra fields. Every length is checked against what holds it; values that clients would read
// differently, or refuse, are reported rather than repaired.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zip32 {

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;  // sizes and CRC follow the data as well
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStore = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kEncryptionHeaderSize = 12;

// The fields of an extra-field block that clients interpret. ok is false when the fields do not
// fill the block exactly or one of these appears twice.
struct ExtraFields {
    bool ok = true;
    bool hasZip64 = false;
    bool hasTime = false;
    bool hasAes = false;  // WinZip AES: vendor version, "AE", strength, real method
    std::string_view zip64;
    std::string_view time;
    std::string_view aes;
};
ExtraFields parseExtraFields(std::string_view block);

// What one central record or local header says. Sizes and offset are those a client uses, with
// the ZIP64 field applied.
struct EntryHeader {
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0;
    uint16_t date = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    bool zip64 = false;  // a ZIP64 field was applied: a data descriptor then has 8-byte sizes
    std::string_view name;
    std::string_view extra;
    ExtraFields fields;
    // Empty, or the field that no client reads as written (in German, for a reason text).
    const char* broken = "";
};

struct CentralRecord : EntryHeader {
    uint64_t offset = 0;  // of the local header
    uint32_t disk = 0;
    uint16_t versionMadeBy = 0;  // the high byte names the system: 3 for Unix
    uint32_t external = 0;       // attributes; under Unix st_mode in the high 16 bits
};

struct Directory {
    std::vector<char> bytes;  // the central directory as read; the records point into it
    std::vector<CentralRecord> records;
    uint64_t start = 0;  // where the central directory begins, and the entries' data must end
};

// The directory of the archive open as fd, size bytes long. False with a reason (in German) when
// the file is no ZIP archive, cannot be read (then *unreadable is set, when given), or its end
// record and directory disagree.
bool readDirectory(int fd, uint64_t size, Directory& directory, std::string& reason,
                   bool* unreadable = nullptr);

// The local header at the start of bytes; false when bytes hold none (a wrong signature, or too
// few bytes for the header, its name and its extra fields).
bool parseLocalHeader(std::string_view bytes, EntryHeader& header);

// Reads length bytes at offset; false with a reason when the file ends first or reading fails.
bool readAt(int fd, char* into, size_t length, uint64_t offset, std::string& reason);

uint16_t get16(const char* at);
uint32_t get32(const char* at);
uint64_t get64(const char* at);

}  // namespace zip32
