#include "platform/zipengine/CompressPipeline.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/zipengine/ZipReason.h"

namespace zip32 {

namespace {

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

// The cores this thread may run on.
size_t availableCores() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Reads length bytes at offset; false with ended set when the file ends before them.
bool readExactly(int fd, unsigned char* to, size_t length, uint64_t offset, bool& ended,
                 FileProblem& problem) {
    const int64_t got = readUpToAt(fd, to, length, offset, problem);
    ended = got >= 0 && static_cast<size_t>(got) < length;
    return got >= 0 && !ended;
}

}  // namespace

// One block of a file cut into blocks.
struct CompressPipeline::Piece {
    enum class State { Waiting, Working, Done };
    State state = State::Waiting;
    Buffer data;  // deflated, or raw when the file is stored
    uint32_t crc = 0;
    uint64_t charge = 0;  // bytes counted against the window
};

// What the workers on the blocks of one file and the writer share.
struct CompressPipeline::Blocks {
    std::vector<Piece> pieces;
    std::shared_ptr<Descriptor> file;  // opened by the worker on the first block
    FileSignature before;              // the file's when it was opened, before the first read
    bool secondReading = false;        // it had changed since its check when it was opened
    bool probed = false;               // stored is known: the blocks after the first may start
    bool stored = false;
    // What the finished blocks saved, against the most that the others may grow: once it is more,
    // deflate is sure to end below the file's size and the writer may begin.
    int64_t saved = 0;
    uint64_t growthLeft = 0;
    size_t working = 0;
    size_t done = 0;
    std::atomic<size_t> read{0};  // the worker that reads the last block checks the signature
    // Deflate did not prove to be worth it: the writer reads the file itself, stored.
    bool writerReads = false;
    size_t piece = 0;  // the writer's place
    uint64_t piecePos = 0;
    uint64_t rawPos = 0;
};

struct CompressPipeline::Slot {
    enum class State { Waiting, Working, Done, Failed };
    State state = State::Waiting;
    bool abandoned = false;  // the writer let go of it
    Buffer data;             // a whole file: the bytes to write
    uint64_t readPos = 0;
    std::unique_ptr<Blocks> blocks;  // a file cut into blocks
    Delivered delivered;
    FileProblem problem;
    uint64_t charge = 0;  // bytes counted against the window
    std::shared_ptr<const AesKeys> keys;
    std::string keyProblem;  // why there are no keys
};

// A worker's compressors, made when first needed, so that a failure to make one fails a file,
// not the worker.
struct CompressPipeline::Tools {
    explicit Tools(int compressionLevel) : level(compressionLevel) {}
    ~Tools() { libdeflate_free_compressor(whole); }
    Tools(const Tools&) = delete;
    Tools& operator=(const Tools&) = delete;

    libdeflate_compressor* wholeFiles() {
        if (whole == nullptr && (whole = libdeflate_alloc_compressor(level)) == nullptr) {
            throw std::bad_alloc();
        }
        return whole;
    }
    Probe& probe() {
        if (!prober) {
            prober = std::make_unique<Probe>();
        }
        return *prober;
    }
    BlockDeflater& blocks() {
        if (!deflater) {
            deflater = std::make_unique<BlockDeflater>(level);
        }
        return *deflater;
    }

    int level;
    libdeflate_compressor* whole = nullptr;
    std::unique_ptr<Probe> prober;
    std::unique_ptr<BlockDeflater> deflater;
    std::vector<unsigned char> input;  // a block with the bytes that prime it
};

CompressPipeline::CompressPipeline(std::vector<FileJob*> jobs, int level, const Tuning& tuning,
                                   std::optional<AesPlan> aes)
    : jobs_(std::move(jobs)),
      level_(level),
      aes_(std::move(aes)),
      tuning_(tuning),
      blockSize_(std::max<uint64_t>(tuning.blockSize, 1)) {
    planned_ = tuning_.workers != 0 ? tuning_.workers : availableCores();
    slots_.resize(jobs_.size());
    uint64_t after = 0;  // bytes listed after the file
    for (size_t i = jobs_.size(); i-- > 0;) {
        const uint64_t size = jobs_[i]->size;
        const bool cut = size > tuning_.wholeAtMost ||
                         (size > tuning_.blockedAbove && after < size * (planned_ - 1));
        after += size;
        if (!cut) {
            ++items_;
            continue;
        }
        auto blocks = std::make_unique<Blocks>();
        blocks->pieces.resize((size + blockSize_ - 1) / blockSize_);
        for (size_t piece = 0; piece < blocks->pieces.size(); ++piece) {
            blocks->growthLeft += deflateGrowth(pieceLength({i, piece}));
        }
        items_ += blocks->pieces.size();
        slots_[i].blocks = std::move(blocks);
    }
    planned_ = std::min(planned_, items_);
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
    for (size_t i = 0; i < planned_; ++i) {
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

uint64_t CompressPipeline::pieceLength(const Item& item) const {
    return std::min<uint64_t>(blockSize_, jobs_[item.file]->size - item.piece * blockSize_);
}

bool CompressPipeline::skipped(const Slot& slot) const {
    return slot.state == Slot::State::Failed || slot.abandoned ||
           (slot.blocks && slot.blocks->writerReads);
}

uint64_t CompressPipeline::costOf(const Item& item) const {
    const Slot& slot = slots_[item.file];
    if (!slot.blocks) {
        uint64_t size = jobs_[item.file]->size;
        return level_ == 0 ? size : 2 * size;
    }
    uint64_t length = pieceLength(item);
    bool stored = level_ == 0 || (slot.blocks->probed && slot.blocks->stored);
    return stored ? length : 2 * length + kDeflateWindow;
}

bool CompressPipeline::claimable(const Item& item) const {
    const Slot& slot = slots_[item.file];
    if (skipped(slot)) {
        return true;
    }
    if (slot.blocks && item.piece > 0 && !slot.blocks->probed) {
        return false;
    }
    // What the writer waits for gets through: the file it is on, or as many of that file's next
    // blocks as there are workers.
    if (item.file < front_ || (item.file == front_ && !slot.blocks) ||
        (item.file == front_ && item.piece < slot.blocks->piece + planned_)) {
        return true;
    }
    return inFlight_ + costOf(item) <= tuning_.window;
}

std::optional<CompressPipeline::Item> CompressPipeline::claim() {
    const Item item = next_;
    Slot& slot = slots_[item.file];
    if (!slot.blocks || item.piece + 1 == slot.blocks->pieces.size()) {
        next_ = {item.file + 1, 0};
    } else {
        ++next_.piece;
    }
    if (skipped(slot)) {
        return std::nullopt;
    }
    uint64_t cost = costOf(item);
    inFlight_ += cost;
    slot.state = Slot::State::Working;
    if (!slot.blocks) {
        slot.charge = cost;
    } else {
        Piece& piece = slot.blocks->pieces[item.piece];
        piece.charge = cost;
        piece.state = Piece::State::Working;
        ++slot.blocks->working;
    }
    return item;
}

void CompressPipeline::work() {
    Tools tools(level_);
    for (;;) {
        std::optional<Item> item;
        {
            std::unique_lock lock(mutex_);
            workersWake_.wait(lock, [this] {
                return stopping_ || next_.file >= slots_.size() || claimable(next_);
            });
            if (stopping_ || next_.file >= slots_.size()) {
                break;
            }
            item = claim();
        }
        if (!item) {
            continue;
        }
        try {
            if (!slots_[item->file].blocks) {
                compressWhole(item->file, tools);
            } else if (item->piece == 0) {
                startBlocks(item->file, tools);
            } else {
                compressPiece(*item, tools);
            }
        } catch (const std::exception& e) {
            fail(item->file, {0, exceptionReason(e)});
        }
    }
}

// A file read whole is read again at once when it changed: nothing of it has been written yet.
// The second reading takes the file as it is then, as long as it keeps the size it was checked
// with, which its entry was planned for.
bool CompressPipeline::readWhole(size_t index, bool again, Buffer& raw, FileProblem& problem) {
    const FileJob& job = *jobs_[index];
    struct stat info {};
    Descriptor fd(openListedFile(job.openPath, info, problem));
    if (fd.get() < 0) {
        return false;
    }
    const FileSignature before = signatureOf(info);
    if (again ? before.size != job.size : before != job.signature) {
        problem = changedWhileRead();
        return false;
    }
    const auto length = static_cast<size_t>(job.size);
    raw = Buffer(length);
    const int64_t got = readUpTo(fd.get(), raw.data(), length, problem);
    if (got < 0) {
        return false;
    }
    if (tuning_.afterRead) {
        tuning_.afterRead(job.openPath, 0);
    }
    return readAsOneState(fd.get(), before, static_cast<size_t>(got) < length, problem);
}

void CompressPipeline::compressWhole(size_t index, Tools& tools) {
    const FileJob& job = *jobs_[index];
    Buffer raw;
    FileProblem problem;
    if (!readWhole(index, false, raw, problem) &&
        (!problem.readAgain || !readWhole(index, true, raw, problem))) {
        fail(index, std::move(problem));
        return;
    }
    const auto length = static_cast<size_t>(job.size);
    Delivered delivered;
    delivered.size = length;
    delivered.crc = libdeflate_crc32(0, raw.data(), length);

    Buffer out;
    if (level_ > 0 && length > 1 && tools.probe().worthDeflating(raw.data(), length)) {
        // An output one byte short of the input: what does not fit did not shrink, and is stored.
        Buffer packed(length - 1);
        size_t packedSize = libdeflate_deflate_compress(tools.wholeFiles(), raw.data(), length,
                                                        packed.data(), length - 1);
        if (packedSize > 0) {
            packed.resize(packedSize);
            out = std::move(packed);
            delivered.stored = false;
        }
    }
    if (delivered.stored) {
        out = std::move(raw);
    }
    raw = Buffer();
    delivered.dataSize = out.size();
    makeKeys(index);

    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        slot.data = std::move(out);
        slot.delivered = delivered;
        inFlight_ -= slot.charge;
        slot.charge = slot.abandoned ? 0 : delivered.dataSize;
        inFlight_ += slot.charge;
        if (slot.abandoned) {
            slot.data = Buffer();
        }
        slot.state = Slot::State::Done;
    }
    writerWake_.notify_all();
    workersWake_.notify_all();
}

// The first block's worker opens the file and looks at it; the other blocks wait for that.
void CompressPipeline::startBlocks(size_t index, Tools& tools) {
    const FileJob& job = *jobs_[index];
    FileProblem problem;
    struct stat info {};
    const int opened = openListedFile(job.openPath, info, problem);
    if (opened < 0) {
        fail(index, std::move(problem));
        return;
    }
    auto file = std::make_shared<Descriptor>(opened);
    // A file that changed since its check, nothing of it read yet, is taken as it is now, as a
    // file read whole would be read again; it must not change again.
    const FileSignature before = signatureOf(info);
    const bool again = before != job.signature;
    if (again && (before.size != job.size || job.changedOnce)) {
        fail(index, changedWhileRead());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        slots_[index].blocks->before = before;
        slots_[index].blocks->secondReading = again;
    }
    ::posix_fadvise(opened, 0, 0, POSIX_FADV_SEQUENTIAL);
    bool stored = level_ == 0;
    if (!stored) {
        const int worth = tools.probe().worthDeflating(opened, job.size, problem);
        if (worth == Probe::kEnded) {
            readAsOneState(opened, before, true, problem);
        }
        if (worth < 0) {
            fail(index, std::move(problem));
            return;
        }
        stored = worth == 0;
    }
    makeKeys(index);
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        if (!slot.abandoned) {
            slot.blocks->file = std::move(file);
        }
        slot.blocks->stored = stored;
        slot.blocks->probed = true;
    }
    workersWake_.notify_all();
    writerWake_.notify_all();
    compressPiece({index, 0}, tools);
}

void CompressPipeline::compressPiece(const Item& item, Tools& tools) {
    const FileJob& job = *jobs_[item.file];
    Blocks& blocks = *slots_[item.file].blocks;
    std::shared_ptr<Descriptor> file;
    bool stored = false;
    FileSignature before;
    {
        std::lock_guard lock(mutex_);
        file = blocks.file;
        stored = blocks.stored;
        before = blocks.before;
    }
    if (!file) {  // let go of already
        publishPiece(item, Buffer(), 0);
        return;
    }
    const uint64_t offset = item.piece * blockSize_;
    const auto length = static_cast<size_t>(pieceLength(item));
    const bool last = item.piece + 1 == blocks.pieces.size();
    const size_t primed = stored ? 0 : std::min<uint64_t>(offset, kDeflateWindow);
    FileProblem problem;
    Buffer data;
    unsigned char* raw = nullptr;
    if (stored) {
        data = Buffer(length);
        raw = data.data();
    } else {
        if (tools.input.size() < primed + length) {
            tools.input.resize(primed + length);
        }
        raw = tools.input.data() + primed;
    }
    bool ended = false;
    if (!readExactly(file->get(), raw - primed, primed + length, offset - primed, ended, problem)) {
        if (ended) {
            readAsOneState(file->get(), before, true, problem);
        }
        fail(item.file, std::move(problem));
        return;
    }
    const uint32_t crc = libdeflate_crc32(0, raw, length);
    if (tuning_.afterRead) {
        tuning_.afterRead(job.openPath, item.piece);
    }
    // Every block is read: the file must still be what it was before the first.
    if (++blocks.read == blocks.pieces.size() &&
        !readAsOneState(file->get(), before, false, problem)) {
        fail(item.file, std::move(problem));
        return;
    }
    if (!stored) {
        data = tools.blocks().deflate(raw, length, primed, last);
    }
    publishPiece(item, std::move(data), crc);
}

void CompressPipeline::publishPiece(const Item& item, Buffer data, uint32_t crc) {
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[item.file];
        Blocks& blocks = *slot.blocks;
        Piece& piece = blocks.pieces[item.piece];
        inFlight_ -= piece.charge;
        piece.charge = 0;
        piece.state = Piece::State::Done;
        --blocks.working;
        if (!skipped(slot)) {
            const uint64_t length = pieceLength(item);
            if (!blocks.stored) {
                blocks.saved += static_cast<int64_t>(length) - static_cast<int64_t>(data.size());
                blocks.growthLeft -= deflateGrowth(length);
            }
            piece.crc = crc;
            piece.charge = data.size();
            inFlight_ += piece.charge;
            piece.data = std::move(data);
            if (++blocks.done == blocks.pieces.size()) {
                slot.state = Slot::State::Done;
            }
        }
    }
    writerWake_.notify_all();
    workersWake_.notify_all();
}

void CompressPipeline::fail(size_t index, FileProblem problem) {
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        if (slot.state == Slot::State::Failed) {
            return;  // the first reason stands
        }
        slot.state = Slot::State::Failed;
        slot.problem = std::move(problem);
        // Only a file whose blocks may be in the archive already is read again by a new pass of
        // the writer, and only once: one read whole has been read again at once.
        if (!slot.blocks || slot.blocks->secondReading || jobs_[index]->changedOnce) {
            slot.problem.readAgain = false;
        }
        // A file cut into blocks keeps them until the writer lets go: it may be copying from one.
        if (!slot.blocks) {
            slot.data = Buffer();
            inFlight_ -= slot.charge;
            slot.charge = 0;
        }
    }
    writerWake_.notify_all();
    workersWake_.notify_all();
}

// Whether the writer may begin a file cut into blocks; when deflate cannot prove before the
// window fills, or at its end, that it ends below the file's size, the file is stored instead.
bool CompressPipeline::writerMayBegin(size_t index) {
    Blocks& blocks = *slots_[index].blocks;
    if (!blocks.probed) {
        return false;
    }
    if (blocks.stored || blocks.writerReads ||
        blocks.saved > static_cast<int64_t>(blocks.growthLeft)) {
        return true;
    }
    const bool allDone = blocks.done == blocks.pieces.size();
    const bool stuck = blocks.working == 0 && next_.file == index && !claimable(next_);
    if (!allDone && !stuck) {
        return false;
    }
    blocks.writerReads = true;
    for (Piece& piece : blocks.pieces) {
        inFlight_ -= piece.charge;
        piece.charge = 0;
        piece.data = Buffer();
    }
    workersWake_.notify_all();
    return true;
}

bool CompressPipeline::open(size_t index) {
    std::unique_lock lock(mutex_);
    front_ = index;
    workersWake_.notify_all();
    Slot& slot = slots_[index];
    writerWake_.wait(lock, [&] {
        if (slot.state == Slot::State::Failed) {
            return true;
        }
        return slot.blocks ? writerMayBegin(index) : slot.state == Slot::State::Done;
    });
    return slot.state != Slot::State::Failed;
}

int64_t CompressPipeline::read(size_t index, void* buffer, uint64_t length) {
    Slot& slot = slots_[index];
    if (!slot.blocks) {
        // A whole file was done before open returned, and no worker touches it again.
        if (slot.state == Slot::State::Failed) {
            return -1;
        }
        uint64_t n = std::min<uint64_t>(length, slot.data.size() - slot.readPos);
        std::memcpy(buffer, slot.data.data() + slot.readPos, n);
        slot.readPos += n;
        return static_cast<int64_t>(n);
    }
    Blocks& blocks = *slot.blocks;
    if (blocks.writerReads) {
        return readRaw(index, buffer, length);
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        writerWake_.wait(lock, [&] {
            return slot.state == Slot::State::Failed || blocks.piece == blocks.pieces.size() ||
                   blocks.pieces[blocks.piece].state == Piece::State::Done;
        });
        if (slot.state == Slot::State::Failed) {
            return -1;
        }
        if (blocks.piece == blocks.pieces.size()) {
            return 0;
        }
        Piece& piece = blocks.pieces[blocks.piece];
        if (blocks.piecePos < piece.data.size()) {
            break;
        }
        // A block is written whole: its CRC joins the file's, and its bytes are given back.
        const uint64_t pieceSize = pieceLength({index, blocks.piece});
        slot.delivered.crc = static_cast<uint32_t>(
            crc32_combine(slot.delivered.crc, piece.crc, static_cast<z_off_t>(pieceSize)));
        slot.delivered.size += pieceSize;
        slot.delivered.dataSize += piece.data.size();
        inFlight_ -= piece.charge;
        piece.charge = 0;
        piece.data = Buffer();
        ++blocks.piece;
        blocks.piecePos = 0;
        workersWake_.notify_all();
    }
    // A finished block is the writer's until it lets go of it.
    const Piece& piece = blocks.pieces[blocks.piece];
    lock.unlock();
    uint64_t n = std::min<uint64_t>(length, piece.data.size() - blocks.piecePos);
    std::memcpy(buffer, piece.data.data() + blocks.piecePos, n);
    blocks.piecePos += n;
    return static_cast<int64_t>(n);
}

int64_t CompressPipeline::readRaw(size_t index, void* buffer, uint64_t length) {
    Slot& slot = slots_[index];
    Blocks& blocks = *slot.blocks;
    const uint64_t size = jobs_[index]->size;
    {
        // A worker that read the last block before the writer took over may have found a change.
        std::lock_guard lock(mutex_);
        if (slot.state == Slot::State::Failed) {
            return -1;
        }
    }
    const int fd = blocks.file->get();
    const uint64_t want = std::min<uint64_t>(length, size - blocks.rawPos);
    FileProblem problem;
    if (want == 0) {
        if (!readAsOneState(fd, blocks.before, false, problem)) {
            fail(index, std::move(problem));
            return -1;
        }
        return 0;
    }
    bool ended = false;
    if (!readExactly(fd, static_cast<unsigned char*>(buffer), want, blocks.rawPos, ended,
                     problem)) {
        if (ended) {
            readAsOneState(fd, blocks.before, true, problem);
        }
        fail(index, std::move(problem));
        return -1;
    }
    slot.delivered.crc = libdeflate_crc32(slot.delivered.crc, buffer, want);
    slot.delivered.size += want;
    slot.delivered.dataSize += want;
    blocks.rawPos += want;
    return static_cast<int64_t>(want);
}

CompressPipeline::Delivered CompressPipeline::finish(size_t index) {
    Delivered delivered;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        if (slot.blocks) {
            Blocks& blocks = *slot.blocks;
            slot.delivered.stored = blocks.stored || blocks.writerReads;
            for (Piece& piece : blocks.pieces) {
                inFlight_ -= piece.charge;
                piece.charge = 0;
                piece.data = Buffer();
            }
            blocks.file.reset();
        }
        delivered = slot.delivered;
        slot.abandoned = true;
        slot.data = Buffer();
        slot.keys.reset();
        inFlight_ -= slot.charge;
        slot.charge = 0;
        front_ = std::max(front_, index + 1);
    }
    workersWake_.notify_all();
    return delivered;
}

void CompressPipeline::makeKeys(size_t index) {
    if (!aes_) {
        return;
    }
    std::shared_ptr<const AesKeys> keys;
    std::string problem;
    try {
        keys = std::make_shared<const AesKeys>(newAesKeys(aes_->password->text(), aes_->strength));
    } catch (const std::exception& e) {
        problem = exceptionReason(e);
    }
    std::lock_guard lock(mutex_);
    slots_[index].keys = std::move(keys);
    slots_[index].keyProblem = std::move(problem);
}

std::shared_ptr<const AesKeys> CompressPipeline::keys(size_t index) {
    std::lock_guard lock(mutex_);
    const Slot& slot = slots_[index];
    if (!slot.keys) {
        throw std::runtime_error(slot.keyProblem.empty() ? "keine Schlüssel für AES"
                                                         : slot.keyProblem);
    }
    return slot.keys;
}

FileProblem CompressPipeline::problem(size_t index) {
    std::lock_guard lock(mutex_);
    return slots_[index].problem;
}

}  // namespace zip32
