#pragma once
// What the C interface keeps between its calls: the callbacks of ZpInit and a copy of the options
// of ZpSetOptions, one set per thread, so that engines driven from different threads never meet.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Wipe.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

// The options a run honours. A run refuses to start while the record asked for anything else.
struct RunOptions {
    std::optional<std::string> rootDir;
    bool encrypt = false;
    bool verbose = false;
    bool quiet = false;
    bool grow = false;
    bool dosNames = false;
    bool update = false;
    bool comment = false;
    int level = 9;                         // 0 stores, 1 to 9 deflate
    std::vector<std::string> unsupported;  // fields set that the engine does not implement
};

// Knobs of the compression threads. Tests lower the sizes to reach the paths of big files with
// small ones.
struct Tuning {
    uint64_t blockSize = 1ull << 20;  // big files are deflated in blocks of this size, at once
    // Files larger than this are cut into blocks where the files after them in the list are too
    // few to keep the other workers busy while one worker deflates them whole.
    uint64_t blockedAbove = 4ull << 20;
    uint64_t wholeAtMost = 32ull << 20;  // larger files are always cut: never held whole
    uint64_t window = 96ull << 20;       // bytes that files being compressed or waiting may hold
    unsigned workers = 0;                // 0: one per core
    std::function<void()> beforeWrite;   // runs when the files are checked, before any is read
    // Runs on a worker after it read the file at path whole (block 0) or its block number block,
    // before it looks whether the file changed meanwhile.
    std::function<void(const std::string& path, uint64_t block)> afterRead;
    uint64_t checkPiece = 1ull << 20;             // the check reads entries in pieces of this size
    bool namedTemporary = false;                  // as on a file system without O_TMPFILE
    std::function<void(const char*)> checkpoint;  // steps of the commit, see WriteSettings
};

// A password the engine holds, overwritten when it goes.
class Password {
public:
    explicit Password(std::string_view text) : text_(text) {}
    ~Password() { platform::wipe(text_); }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

struct AesKeys;

// One entry as a run wrote it: what a check of the archive compares with.
struct WrittenEntry {
    std::string name;
    uint32_t crc = 0;
    uint64_t size = 0;
    bool encrypted = false;
    int aesStrength = 0;  // when encrypted: 0 the traditional method, 1 to 3 WinZip AES
    std::shared_ptr<const Password> password{};  // none once forgotten (ZpForgetPasswords)
    // The keys the entry was encrypted with, which spare the check deriving them again.
    std::shared_ptr<const AesKeys> aesKeys{};
};

// The entries that this thread's runs wrote into one archive since a run made it anew (a grow
// adds to them, a new archive or another path starts them afresh).
struct WrittenArchive {
    std::string path;
    uint64_t device = 0;  // the file under path after the last run; another one starts afresh
    uint64_t inode = 0;
    std::vector<WrittenEntry> entries;
};

struct ThreadState {
    bool initialised = false;
    ZpCallbacks callbacks{};
    RunOptions options;
    int32_t encryption = ZP_ENCRYPT_TRADITIONAL;  // ZpSetEncryption
    Tuning tuning;
    WrittenArchive written;
};

// The calling thread's state.
ThreadState& threadState();

// Copies the record's fields that the engine honours; the level character '0'..'9' (anything else
// means the strongest). Names the fields set that it does not implement.
RunOptions optionsFromRecord(const ZpOptions& record);

}  // namespace zip32
