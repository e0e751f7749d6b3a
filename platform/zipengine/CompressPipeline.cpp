#include "platform/zipengine/CompressPipeline.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zip32 {

namespace {

constexpr size_t kStreamInput = 256u << 10;
constexpr size_t kStreamOutput = 256u << 10;
constexpr uint64_t kStreamQueue = 4u << 20;  // compressed bytes a streamed file may hold unread
// What a streamed file holds at most: its queue, its two buffers and zlib's state.
constexpr uint64_t kStreamCharge = kStreamQueue + kStreamInput + kStreamOutput + (1u << 20);

// A malloc'd block that can give back its unused tail.
class Block {
public:
    Block() = default;
    explicit Block(size_t size) : data_(static_cast<unsigned char*>(std::malloc(size ? size : 1))) {
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
        size_ = size;
    }
    ~Block() { std::free(data_); }
    Block(Block&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    Block& operator=(Block&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    void shrink(size_t size) {
        if (void* smaller = std::realloc(data_, size ? size : 1)) {
            data_ = static_cast<unsigned char*>(smaller);
        }
        size_ = size;
    }

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

// A streamed file's compressed chunks, from the worker to the writer.
struct ChunkQueue {
    std::deque<std::vector<unsigned char>> chunks;
    size_t readPos = 0;  // in the first chunk
    uint64_t bytes = 0;
};

struct CompressPipeline::Slot {
    enum class State { Waiting, Working, Done, Failed };
    State state = State::Waiting;
    bool abandoned = false;  // the writer let go of it; a streaming worker stops
    Block data;              // a whole file: the bytes to write
    uint64_t readPos = 0;
    std::unique_ptr<ChunkQueue> queue;  // a streamed file (kept apart: a deque is not small)
    Delivered delivered;
    FileProblem problem;
    uint64_t charge = 0;  // bytes counted against the window
};

CompressPipeline::CompressPipeline(std::vector<FileJob*> jobs, int level, const Tuning& tuning)
    : jobs_(std::move(jobs)), level_(level), tuning_(tuning) {
    slots_.resize(jobs_.size());
}

CompressPipeline::~CompressPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workersWake_.notify_all();
    writerWake_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

void CompressPipeline::start() {
    unsigned count = tuning_.workers != 0 ? tuning_.workers : std::thread::hardware_concurrency();
    count = std::max(1u, count);
    count = static_cast<unsigned>(std::min<size_t>(count, jobs_.size()));
    for (unsigned i = 0; i < count; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            if (workers_.empty()) {
                throw;
            }
            break;
        }
    }
}

uint64_t CompressPipeline::costOf(size_t index) const {
    uint64_t size = jobs_[index]->size;
    if (size > tuning_.streamThreshold) {
        return kStreamCharge;
    }
    return level_ == 0 ? size : 2 * size;
}

bool CompressPipeline::claimable(size_t index) const {
    return index <= front_ || inFlight_ + costOf(index) <= tuning_.window;
}

void CompressPipeline::work() {
    libdeflate_compressor* compressor = nullptr;
    if (level_ > 0) {
        compressor = libdeflate_alloc_compressor(level_);
    }
    for (;;) {
        size_t index = 0;
        bool streamed = false;
        {
            std::unique_lock lock(mutex_);
            workersWake_.wait(lock, [this] {
                return stopping_ || nextClaim_ >= slots_.size() || claimable(nextClaim_);
            });
            if (stopping_ || nextClaim_ >= slots_.size()) {
                break;
            }
            index = nextClaim_++;
            Slot& slot = slots_[index];
            streamed = jobs_[index]->size > tuning_.streamThreshold;
            slot.charge = costOf(index);
            inFlight_ += slot.charge;
            slot.state = Slot::State::Working;
        }
        try {
            if (streamed) {
                auto queue = std::make_unique<ChunkQueue>();
                {
                    std::lock_guard lock(mutex_);
                    slots_[index].queue = std::move(queue);
                }
                compressStreaming(index);
            } else if (level_ > 0 && compressor == nullptr) {
                fail(index, {ENOMEM, systemReason(ENOMEM)});
            } else {
                compressWhole(index, compressor);
            }
        } catch (const std::bad_alloc&) {
            fail(index, {ENOMEM, systemReason(ENOMEM)});
        }
    }
    libdeflate_free_compressor(compressor);
}

void CompressPipeline::compressWhole(size_t index, libdeflate_compressor* compressor) {
    const FileJob& job = *jobs_[index];
    FileProblem problem;
    struct stat info {};
    Descriptor fd(openListedFile(job.openPath, info, problem));
    if (fd.get() < 0) {
        fail(index, std::move(problem));
        return;
    }
    Block raw(job.size);
    int64_t got = readUpTo(fd.get(), raw.data(), job.size, problem);
    if (got < 0) {
        fail(index, std::move(problem));
        return;
    }
    auto length = static_cast<size_t>(got);
    Delivered delivered;
    delivered.size = length;
    delivered.crc = libdeflate_crc32(0, raw.data(), length);

    Block out;
    if (level_ > 0 && length > 1) {
        // An output one byte short of the input: what does not fit did not shrink, and is stored.
        Block packed(length - 1);
        size_t packedSize =
            libdeflate_deflate_compress(compressor, raw.data(), length, packed.data(), length - 1);
        if (packedSize > 0) {
            packed.shrink(packedSize);
            out = std::move(packed);
            delivered.stored = false;
        }
    }
    if (delivered.stored) {
        raw.shrink(length);
        out = std::move(raw);
    } else {
        raw = Block();
    }
    delivered.dataSize = out.size();

    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        slot.data = std::move(out);
        slot.delivered = delivered;
        inFlight_ -= slot.charge;
        slot.charge = slot.abandoned ? 0 : delivered.dataSize;
        inFlight_ += slot.charge;
        if (slot.abandoned) {
            slot.data = Block();
        }
        slot.state = Slot::State::Done;
    }
    writerWake_.notify_all();
    workersWake_.notify_all();
}

bool CompressPipeline::pushChunk(size_t index, const unsigned char* data, size_t length) {
    if (length == 0) {
        return true;
    }
    std::vector<unsigned char> chunk(data, data + length);
    {
        std::unique_lock lock(mutex_);
        Slot& slot = slots_[index];
        workersWake_.wait(
            lock, [&] { return stopping_ || slot.abandoned || slot.queue->bytes < kStreamQueue; });
        if (stopping_ || slot.abandoned) {
            return false;
        }
        slot.queue->bytes += length;
        slot.delivered.dataSize += length;
        slot.queue->chunks.push_back(std::move(chunk));
    }
    writerWake_.notify_all();
    return true;
}

void CompressPipeline::compressStreaming(size_t index) {
    const FileJob& job = *jobs_[index];
    FileProblem problem;
    struct stat info {};
    Descriptor fd(openListedFile(job.openPath, info, problem));
    if (fd.get() < 0) {
        fail(index, std::move(problem));
        return;
    }
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    z_stream stream{};
    bool deflating = level_ > 0;
    if (deflating &&
        deflateInit2(&stream, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        fail(index, {ENOMEM, systemReason(ENOMEM)});
        return;
    }
    struct StreamEnd {
        z_stream* stream;
        ~StreamEnd() {
            if (stream != nullptr) {
                deflateEnd(stream);
            }
        }
    } streamEnd{deflating ? &stream : nullptr};

    std::vector<unsigned char> input(kStreamInput);
    std::vector<unsigned char> output(kStreamOutput);
    uint64_t remaining = job.size;
    uint64_t total = 0;
    uint32_t crc = 0;
    for (;;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, input.size()));
        int64_t got = want > 0 ? readUpTo(fd.get(), input.data(), want, problem) : 0;
        if (got < 0) {
            fail(index, std::move(problem));
            return;
        }
        auto length = static_cast<size_t>(got);
        remaining = length < want ? 0 : remaining - length;
        total += length;
        crc = libdeflate_crc32(crc, input.data(), length);
        bool last = remaining == 0;
        if (!deflating) {
            if (!pushChunk(index, input.data(), length)) {
                return;
            }
        } else {
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(length);
            int result = Z_OK;
            do {
                stream.next_out = output.data();
                stream.avail_out = static_cast<uInt>(output.size());
                result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
                if (result == Z_STREAM_ERROR) {
                    fail(index, {EIO, systemReason(EIO)});
                    return;
                }
                if (!pushChunk(index, output.data(), output.size() - stream.avail_out)) {
                    return;
                }
            } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
        }
        if (last) {
            break;
        }
    }

    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        slot.delivered.stored = !deflating;
        slot.delivered.crc = crc;
        slot.delivered.size = total;
        slot.state = Slot::State::Done;
    }
    writerWake_.notify_all();
}

void CompressPipeline::fail(size_t index, FileProblem problem) {
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        slot.state = Slot::State::Failed;
        slot.problem = std::move(problem);
        slot.data = Block();
        if (slot.queue) {
            slot.queue->chunks.clear();
            slot.queue->bytes = 0;
        }
        inFlight_ -= slot.charge;
        slot.charge = 0;
    }
    writerWake_.notify_all();
    workersWake_.notify_all();
}

bool CompressPipeline::open(size_t index) {
    std::unique_lock lock(mutex_);
    front_ = index;
    workersWake_.notify_all();
    Slot& slot = slots_[index];
    writerWake_.wait(lock, [&] {
        return slot.state == Slot::State::Done || slot.state == Slot::State::Failed ||
               (slot.state == Slot::State::Working && slot.queue && !slot.queue->chunks.empty());
    });
    return slot.state != Slot::State::Failed;
}

int64_t CompressPipeline::read(size_t index, void* buffer, uint64_t length) {
    Slot& slot = slots_[index];
    std::unique_lock lock(mutex_, std::defer_lock);
    if (slot.queue) {
        lock.lock();
        writerWake_.wait(lock, [&] {
            return !slot.queue->chunks.empty() || slot.state != Slot::State::Working;
        });
    }
    // A whole file was done before open returned, and no worker touches it again.
    if (slot.state == Slot::State::Failed) {
        return -1;
    }
    if (!slot.queue) {
        uint64_t n = std::min<uint64_t>(length, slot.data.size() - slot.readPos);
        std::memcpy(buffer, slot.data.data() + slot.readPos, n);
        slot.readPos += n;
        return static_cast<int64_t>(n);
    }
    ChunkQueue& queue = *slot.queue;
    if (queue.chunks.empty()) {
        return 0;
    }
    std::vector<unsigned char>& chunk = queue.chunks.front();
    uint64_t n = std::min<uint64_t>(length, chunk.size() - queue.readPos);
    std::memcpy(buffer, chunk.data() + queue.readPos, n);
    queue.readPos += n;
    if (queue.readPos == chunk.size()) {
        queue.bytes -= chunk.size();
        queue.chunks.pop_front();
        queue.readPos = 0;
        lock.unlock();
        workersWake_.notify_all();
    }
    return static_cast<int64_t>(n);
}

CompressPipeline::Delivered CompressPipeline::finish(size_t index) {
    Delivered delivered;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        delivered = slot.delivered;
        slot.abandoned = true;
        slot.data = Block();
        if (slot.queue) {
            slot.queue->chunks.clear();
            slot.queue->bytes = 0;
        }
        inFlight_ -= slot.charge;
        slot.charge = 0;
        front_ = std::max(front_, index + 1);
    }
    workersWake_.notify_all();
    return delivered;
}

FileProblem CompressPipeline::problem(size_t index) {
    std::lock_guard lock(mutex_);
    return slots_[index].problem;
}

}  // namespace zip32
