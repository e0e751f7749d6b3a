#pragma once
// The compression tools of the pipeline's workers: a look at samples that tells whether a file is
// worth deflating at all, and deflate of one block of a file that is cut into blocks.
//
// Blocks are compressed by several workers at once and laid end to end in the archive as one
// deflate stream: each block after the first is primed with the last 32 KB of the block before it,
// and each but the last ends with a sync flush on a byte boundary. The stream then is hardly
// larger than one made in a single pass (a few bytes a block), and the blocks' CRC-32s combine
// into the file's.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/zipengine/FileAccess.h"

struct libdeflate_compressor;
struct z_stream_s;

namespace zip32 {

// What deflate looks back on: the priming a block takes from the block before it.
constexpr size_t kDeflateWindow = 32 * 1024;

// A malloc'd buffer that can give back its unused tail.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(size_t size);
    ~Buffer();
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    // Grows (throwing std::bad_alloc when it cannot) or gives back the tail.
    void resize(size_t size);

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

// The most that deflating length bytes as one block of the chain can add to them: zlib falls back
// to stored blocks, whose headers and the closing flush cost a few bytes per 16 KB.
uint64_t deflateGrowth(uint64_t length);

// Whether deflate gains a few percent at least on samples of a file (its start, middle and end,
// compressed at a fast level); the samples are a small share of a large file.
class Probe {
public:
    Probe();
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // A file that is read whole: the samples are taken from memory.
    bool worthDeflating(const unsigned char* data, size_t size);
    // An open file of size bytes: the samples are read from fd. -1 when they cannot be read
    // (problem says why), kEnded when the file ends before size, else 0 or 1.
    int worthDeflating(int fd, uint64_t size, FileProblem& problem);
    static constexpr int kEnded = -2;

    // Files smaller than this are deflated without a look: the look would cost too large a share.
    static constexpr uint64_t kSmallest = 32 * 1024;

private:
    struct Span {
        uint64_t offset;
        size_t length;
    };
    static std::vector<Span> samplesOf(uint64_t size);
    bool gains(const std::vector<const unsigned char*>& samples, size_t length);

    libdeflate_compressor* fast_ = nullptr;
    std::vector<unsigned char> read_;
    std::vector<unsigned char> out_;
};

// One worker's zlib stream, reset for every block.
class BlockDeflater {
public:
    // Throws as deflate does when zlib cannot be set up.
    explicit BlockDeflater(int level);
    ~BlockDeflater();
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // Deflates length bytes at data, primed with the primed bytes before them (at most
    // kDeflateWindow, data - primed being where they begin). The block ends with a sync flush, or
    // with the end of the stream when it is the last. Throws std::bad_alloc when zlib lacks
    // memory, CompressionError when it fails otherwise.
    Buffer deflate(const unsigned char* data, size_t length, size_t primed, bool last);

private:
    std::unique_ptr<z_stream_s> stream_;
};

}  // namespace zip32
