#include "platform/zipengine/BlockDeflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/zipengine/ZipReason.h"

namespace zip32 {

namespace {

// zlib's answer other than a lack of memory, as the reason to show.
[[noreturn]] void throwZlibError(const char* step, int code, const z_stream& stream) {
    if (code == Z_MEM_ERROR) {
        throw std::bad_alloc();
    }
    std::string reason = std::string("Kompressionsfehler (zlib, ") + step + ": " +
                         (stream.msg != nullptr ? stream.msg : zError(code)) + ")";
    throw CompressionError(reason);
}

constexpr size_t kSampleLength = 64 * 1024;
// What deflate must save on the samples, in percent, for a file to be deflated.
constexpr uint64_t kWorthwhileGain = 2;
constexpr int kProbeLevel = 1;

}  // namespace

Buffer::Buffer(size_t size) : data_(static_cast<unsigned char*>(std::malloc(size ? size : 1))) {
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
    size_ = size;
}

Buffer::~Buffer() {
    std::free(data_);
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

void Buffer::resize(size_t size) {
    if (void* moved = std::realloc(data_, size ? size : 1)) {
        data_ = static_cast<unsigned char*>(moved);
    } else if (size > size_) {
        throw std::bad_alloc();
    }
    size_ = size;
}

uint64_t deflateGrowth(uint64_t length) {
    // About three times zlib's own bound for one stream, which a sync flush adds to.
    return (length >> 11) + 64;
}

Probe::Probe() : fast_(libdeflate_alloc_compressor(kProbeLevel)) {
    if (fast_ == nullptr) {
        throw std::bad_alloc();
    }
}

Probe::~Probe() {
    libdeflate_free_compressor(fast_);
}

std::vector<Probe::Span> Probe::samplesOf(uint64_t size) {
    const auto length = static_cast<size_t>(std::min<uint64_t>(kSampleLength, size / 8));
    return {{0, length}, {size / 2 - length / 2, length}, {size - length, length}};
}

bool Probe::gains(const std::vector<const unsigned char*>& samples, size_t length) {
    out_.resize(length);
    uint64_t packed = 0;
    for (const unsigned char* sample : samples) {
        size_t size = libdeflate_deflate_compress(fast_, sample, length, out_.data(), length);
        packed += size > 0 ? size : length;
    }
    return packed * 100 <= samples.size() * length * (100 - kWorthwhileGain);
}

bool Probe::worthDeflating(const unsigned char* data, size_t size) {
    if (size < kSmallest) {
        return true;
    }
    std::vector<const unsigned char*> samples;
    std::vector<Span> spans = samplesOf(size);
    for (const Span& span : spans) {
        samples.push_back(data + span.offset);
    }
    return gains(samples, spans.front().length);
}

int Probe::worthDeflating(int fd, uint64_t size, FileProblem& problem) {
    if (size < kSmallest) {
        return 1;
    }
    std::vector<Span> spans = samplesOf(size);
    const size_t length = spans.front().length;
    read_.resize(spans.size() * length);
    std::vector<const unsigned char*> samples;
    for (const Span& span : spans) {
        unsigned char* to = read_.data() + samples.size() * length;
        int64_t got = readUpToAt(fd, to, length, span.offset, problem);
        if (got < 0) {
            return -1;
        }
        if (static_cast<size_t>(got) < length) {
            return kEnded;
        }
        samples.push_back(to);
    }
    return gains(samples, length) ? 1 : 0;
}

BlockDeflater::BlockDeflater(int level) : stream_(std::make_unique<z_stream>()) {
    const int result =
        deflateInit2(stream_.get(), level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        throwZlibError("deflateInit2", result, *stream_);
    }
}

BlockDeflater::~BlockDeflater() {
    deflateEnd(stream_.get());
}

Buffer BlockDeflater::deflate(const unsigned char* data, size_t length, size_t primed, bool last) {
    z_stream& stream = *stream_;
    if (const int reset = deflateReset(&stream); reset != Z_OK) {
        throwZlibError("deflateReset", reset, stream);
    }
    if (primed > 0) {
        const int set = deflateSetDictionary(&stream, data - primed, static_cast<uInt>(primed));
        if (set != Z_OK) {
            throwZlibError("deflateSetDictionary", set, stream);
        }
    }
    Buffer out(length + deflateGrowth(length));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(length);
    size_t done = 0;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    // Room for the worst case makes one call enough; more room is made should it not be.
    for (;;) {
        stream.next_out = out.data() + done;
        stream.avail_out = static_cast<uInt>(out.size() - done);
        const int result = ::deflate(&stream, flush);
        done = out.size() - stream.avail_out;
        if (result == Z_STREAM_ERROR) {
            throwZlibError("deflate", result, stream);
        }
        if (last ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0) {
            break;
        }
        out.resize(out.size() * 2);
    }
    out.resize(done);
    return out;
}

}  // namespace zip32
