#pragma once
// Compression ahead of the writer. Worker threads (one per core) take the work in the order libzip
// will write the files. A file is read whole and deflated with libdeflate into memory, which is
// the faster and the tighter way, as long as the files after it keep the other workers busy. A big
// file that would leave them idle, and any file too big to hold, is cut into blocks that the
// workers deflate at the same time through zlib (see BlockDeflate.h). Before deflating, a look at
// samples of the file tells whether deflate can gain anything; a file where it cannot is stored.
// The work ahead may hold at most a window of bytes, except for what the writer waits for, which
// always gets through. The writer (libzip, on the calling thread) reads each file's data once, in
// order, and releases it.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/zipengine/BlockDeflate.h"
#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/FileAccess.h"
#include "platform/zipengine/WinZipAes.h"

namespace zip32 {

// One listed file that passed its check and is to be written.
struct FileJob {
    std::string given;      // the name as listed: for messages and the service callback
    std::string openPath;   // where it is read
    std::string entryName;  // its name in the archive
    std::string longName;   // the name a DOS name stands for
    uint64_t size = 0;      // at the check; no more than this is read
    int64_t mtime = 0;
    uint32_t mode = 0;
    FileSignature signature;   // at the check, or when it is read again after a change
    bool changedOnce = false;  // changed while written: read once more, in a new pass
    bool replaces = false;     // an entry of the same name is replaced
    bool reported = false;     // announced as archived (stays set when a failed write is retried)
    bool dropped = false;      // could not be read while written; left out when writing again
    uint32_t crc = 0;          // of the data last written
    uint64_t writtenSize = 0;
    std::shared_ptr<const AesKeys> aesKeys;  // those its entry was last encrypted with
};

// Entries encrypted with WinZip AES: the workers make each file's keys, under a salt of its own,
// beside compressing it, since deriving them costs as much as deflating a few kilobytes.
struct AesPlan {
    std::shared_ptr<const Password> password;
    int strength = 0;
};

class CompressPipeline {
public:
    struct Delivered {
        bool stored = true;  // raw bytes (deflate would not shrink them, or level 0)
        uint32_t crc = 0;
        uint64_t size = 0;  // bytes read from the file
        uint64_t dataSize = 0;
    };

    CompressPipeline(std::vector<FileJob*> jobs, int level, const Tuning& tuning,
                     std::optional<AesPlan> aes = std::nullopt);
    ~CompressPipeline();
    CompressPipeline(const CompressPipeline&) = delete;
    CompressPipeline& operator=(const CompressPipeline&) = delete;

    void start();

    // The writer's side, file by file in order. open and read return false / -1 when the file could
    // not be read; problem() then says why.
    bool open(size_t index);
    int64_t read(size_t index, void* buffer, uint64_t length);
    Delivered finish(size_t index);  // frees the file's data, also of a file given up half-way
    FileProblem problem(size_t index);
    // With an AesPlan, after open: the file's keys; throws std::runtime_error with the reason
    // when they could not be made.
    std::shared_ptr<const AesKeys> keys(size_t index);

private:
    struct Piece;
    struct Blocks;
    struct Slot;
    struct Tools;
    // One unit of work: a whole file, or one block of a file cut into blocks.
    struct Item {
        size_t file = 0;
        size_t piece = 0;
    };

    void work();
    bool claimable(const Item& item) const;
    bool skipped(const Slot& slot) const;
    uint64_t costOf(const Item& item) const;
    uint64_t pieceLength(const Item& item) const;
    std::optional<Item> claim();
    bool readWhole(size_t index, bool again, Buffer& raw, FileProblem& problem);
    void compressWhole(size_t index, Tools& tools);
    void startBlocks(size_t index, Tools& tools);
    void compressPiece(const Item& item, Tools& tools);
    void publishPiece(const Item& item, Buffer data, uint32_t crc);
    bool writerMayBegin(size_t index);
    int64_t readRaw(size_t index, void* buffer, uint64_t length);
    void fail(size_t index, FileProblem problem);
    // With an AesPlan: makes the file's keys (outside the lock) and keeps them, or why not.
    void makeKeys(size_t index);

    std::vector<FileJob*> jobs_;
    int level_;
    std::optional<AesPlan> aes_;
    Tuning tuning_;
    uint64_t blockSize_;
    size_t items_ = 0;    // whole files and blocks
    size_t planned_ = 0;  // workers started
    std::vector<Slot> slots_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable workersWake_;
    std::condition_variable writerWake_;
    Item next_;         // the next work to claim
    size_t front_ = 0;  // the file the writer is on
    uint64_t inFlight_ = 0;
    bool stopping_ = false;
};

}  // namespace zip32
