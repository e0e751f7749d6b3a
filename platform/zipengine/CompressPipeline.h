// Compression ahead of the writer. Worker threads (one per core) take the files in the order libzip
// will write them and deflate each with libdeflate into memory, or, above the streaming threshold,
// through zlib into a short queue of chunks. Files may hold at most a window of bytes between them,
// except the one being written, which always gets through. The writer (libzip, on the calling
// thread) reads each file's data once, in order, and releases it.
#ifndef SONDREL_ZIPENGINE_COMPRESSPIPELINE_H
#define SONDREL_ZIPENGINE_COMPRESSPIPELINE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/FileAccess.h"

struct libdeflate_compressor;

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
    bool replaces = false;  // an entry of the same name is replaced
    bool reported = false;  // announced as archived (stays set when a failed write is retried)
    bool dropped = false;   // could not be read while written; left out when writing again
    uint32_t crc = 0;       // of the data last written
    uint64_t writtenSize = 0;
};

class CompressPipeline {
public:
    struct Delivered {
        bool stored = true;  // raw bytes (deflate did not shrink them, or level 0)
        uint32_t crc = 0;
        uint64_t size = 0;  // bytes read from the file
        uint64_t dataSize = 0;
    };

    CompressPipeline(std::vector<FileJob*> jobs, int level, const Tuning& tuning);
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

private:
    struct Slot;

    void work();
    bool claimable(size_t index) const;
    uint64_t costOf(size_t index) const;
    void compressWhole(size_t index, libdeflate_compressor* compressor);
    void compressStreaming(size_t index);
    bool pushChunk(size_t index, const unsigned char* data, size_t length);
    void fail(size_t index, FileProblem problem);

    std::vector<FileJob*> jobs_;
    int level_;
    Tuning tuning_;
    std::vector<Slot> slots_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable workersWake_;
    std::condition_variable writerWake_;
    size_t nextClaim_ = 0;
    size_t front_ = 0;  // the file the writer is on
    uint64_t inFlight_ = 0;
    bool stopping_ = false;
};

}  // namespace zip32

#endif
