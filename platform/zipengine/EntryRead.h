#pragma once
// One entry of an archive read back from its local header to the end of its data: the record and
// the local header held against each other, the data decrypted (traditional or WinZip AES with
// its code), inflated to the exact end of the stored bytes, and its size and CRC compared. The
// check after a run and the restore both read entries through here.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/ZipDirectory.h"

namespace zip32 {

// Entries whose stored bytes come in one piece and that inflate to at most this many bytes are
// inflated whole by libdeflate, twice as fast as zlib's stream.
constexpr uint64_t kWholeLimit = 32ull << 20;

// The archive as every reading thread sees it; only pread touches fd.
struct ArchiveView {
    int fd = -1;
    Directory directory;
    std::vector<uint64_t> offsets;  // of every local header, sorted
    uint64_t piece = 1ull << 20;    // entries are read this many bytes at a time
};

// Fills offsets from the directory's records.
void sortOffsets(ArchiveView& archive);

// The inflate state and buffers one reading thread reuses from entry to entry.
class EntryScratch {
public:
    EntryScratch();
    ~EntryScratch();
    EntryScratch(const EntryScratch&) = delete;
    EntryScratch& operator=(const EntryScratch&) = delete;

    struct Parts;
    Parts& parts() { return *parts_; }

private:
    std::unique_ptr<Parts> parts_;
};

enum class EntryFault {
    none,
    damaged,        // the entry is not what its record says
    unreadable,     // the file could not be read
    noPassword,     // encrypted, and no password to read it with
    wrongPassword,  // the verification value or the check byte disagrees
    stopped,        // the sink asked to stop
    memory,
};

struct EntryOutcome {
    EntryFault fault = EntryFault::none;
    std::string reason;  // in German; empty when the entry holds
};

// Receives the entry's data front to back, in pieces; false stops the reading.
using EntrySink = std::function<bool(const unsigned char* data, size_t length)>;

struct EntryReading {
    // The check after a run also holds the entry to what the engine writes and every client
    // agrees on (version, the UTF-8 flag, the extended time in both headers); a restore only
    // needs what it can read.
    bool strict = true;
    bool crcKnown = true;       // false for WinZip AE-2 entries whose record leaves it 0
    bool passwordOnly = false;  // stop once the password is known to fit
    bool wholeAtOnce = false;   // read the stored bytes of an entry that inflates whole at once
    const EntrySink* sink = nullptr;
};

// Reads the entry of record, which must be as entry says (name, CRC, size, encryption and the
// password).
EntryOutcome readEntry(const ArchiveView& archive, const CentralRecord& record,
                       const WrittenEntry& entry, EntryScratch& scratch,
                       const EntryReading& reading = {});

// 1 to 3 for a WinZip AES entry with a valid field, else 0.
int aesStrengthOf(const EntryHeader& header);

}  // namespace zip32
