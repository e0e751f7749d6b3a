#include "platform/zipengine/ArchiveCheck.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/SystemReason.h"
#include "platform/zipengine/EntryNames.h"
#include "platform/zipengine/WinZipAes.h"
#include "platform/zipengine/ZipDirectory.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

namespace {

constexpr size_t kInflateOut = 256 * 1024;
// Entries whose stored bytes come in one piece and that inflate to at most this many bytes are
// inflated whole by libdeflate, twice as fast as zlib's stream.
constexpr uint64_t kWholeLimit = 32ull << 20;
// unzip 6.0 refuses entries that need more than it can do (4.6); libzip writes at most 4.5 here,
// and 5.1 for WinZip AES, which unzip cannot read anyway.
constexpr unsigned kNewestVersionNeeded = 45;
constexpr unsigned kAesVersionNeeded = 51;
// Flags the engine's entries may carry: the data descriptor, encryption, UTF-8 names and the
// deflate level hints, which no client acts on.
constexpr uint16_t kKnownFlags = kFlagEncrypted | 0x0002 | 0x0004 | kFlagDescriptor | kFlagUtf8;
constexpr size_t kTimeFieldSize = 5;  // flags and the modification time, as the engine writes it

const char* const kCrcReason = "Prüfsumme (CRC) stimmt nicht";
const char* const kInflateReason = "Daten lassen sich nicht entpacken";
const char* const kWrongPassword = "falsches Passwort";
const char* const kCodeReason =
    "Authentifizierungscode stimmt nicht (Daten verändert oder falsches Passwort)";

std::string sizeReason(uint64_t found, uint64_t written) {
    return "Größe stimmt nicht (" + std::to_string(found) + " statt " + std::to_string(written) +
           " Bytes)";
}

std::string directoryReason(const char* field) {
    return std::string("Verzeichniseintrag ist beschädigt (") + field + ")";
}

std::string headerReason(const char* field) {
    return std::string("Kopf im Archiv ist beschädigt (") + field + ")";
}

std::string mismatchReason(const char* field) {
    return std::string("Kopf im Archiv stimmt nicht mit dem Verzeichnis überein (") + field + ")";
}

bool versionReadable(uint16_t version, bool aes) {
    return (version >> 8) == 0 &&
           (version & 0xFF) <= (aes ? kAesVersionNeeded : kNewestVersionNeeded);
}

// The WinZip AES field of a header: AE-1 keeps the CRC, AE-2 may leave it 0.
struct AesField {
    uint16_t vendorVersion = 0;
    int strength = 0;
    uint16_t method = 0;  // the data's own
};

std::optional<AesField> aesFieldOf(const EntryHeader& header) {
    const std::string_view field = header.fields.aes;
    if (!header.fields.hasAes || field.size() != kAesExtraSize || field.substr(2, 2) != "AE") {
        return std::nullopt;
    }
    AesField aes;
    aes.vendorVersion = get16(field.data());
    aes.strength = static_cast<unsigned char>(field[4]);
    aes.method = get16(field.data() + 5);
    if ((aes.vendorVersion != 1 && aes.vendorVersion != 2) || aes.strength < 1 ||
        aes.strength > kAes256) {
        return std::nullopt;
    }
    return aes;
}

bool isAscii(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Traditional PKWARE decryption (the "ZipCrypto" of APPNOTE 6.1).
class TraditionalCipher {
public:
    explicit TraditionalCipher(const std::string& password) : table_(get_crc_table()) {
        for (char c : password) {
            update(static_cast<uint8_t>(c));
        }
    }
    void decrypt(char* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            const uint32_t temp = (key2_ | 2) & 0xFFFF;
            const auto plain = static_cast<uint8_t>(static_cast<uint8_t>(data[i]) ^
                                                    static_cast<uint8_t>((temp * (temp ^ 1)) >> 8));
            update(plain);
            data[i] = static_cast<char>(plain);
        }
    }

private:
    uint32_t crc(uint32_t value, uint8_t byte) const {
        return static_cast<uint32_t>(table_[(value ^ byte) & 0xFF]) ^ (value >> 8);
    }
    void update(uint8_t plain) {
        key0_ = crc(key0_, plain);
        key1_ = (key1_ + (key0_ & 0xFF)) * 134775813 + 1;
        key2_ = crc(key2_, static_cast<uint8_t>(key1_ >> 24));
    }

    const z_crc_t* table_;
    uint32_t key0_ = 0x12345678;
    uint32_t key1_ = 0x23456789;
    uint32_t key2_ = 0x34567890;
};

// The zlib stream and buffers one checking thread reuses from entry to entry.
struct Scratch {
    Scratch() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~Scratch() {
        if (ready) {
            inflateEnd(&stream);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    z_stream stream{};
    bool ready = false;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> whole{
        libdeflate_alloc_decompressor(), &libdeflate_free_decompressor};
    std::vector<char> read;
    std::vector<unsigned char> out = std::vector<unsigned char>(kInflateOut);
    std::vector<unsigned char> inflated;
};

// Reads a part of the file front to back, a piece at a time.
class SpanReader {
public:
    SpanReader(int fd, uint64_t begin, uint64_t end, uint64_t piece, std::vector<char>& buffer)
        : fd_(fd), next_(begin), end_(end), piece_(piece), buffer_(buffer) {}

    uint64_t position() const { return next_ - (filled_ - taken_); }

    // The next length bytes, which must lie inside the part; nullptr with reason when they
    // cannot be read.
    char* take(size_t length, std::string& reason) {
        if (filled_ - taken_ < length) {
            if (filled_ > taken_) {
                std::memmove(buffer_.data(), buffer_.data() + taken_, filled_ - taken_);
            }
            filled_ -= taken_;
            taken_ = 0;
            if (end_ - next_ < length - filled_) {
                reason = "Datei endet vorzeitig";
                return nullptr;
            }
            const auto want = static_cast<size_t>(
                std::min<uint64_t>(std::max<uint64_t>(length - filled_, piece_), end_ - next_));
            if (filled_ + want > buffer_.size()) {
                buffer_.resize(filled_ + want);
            }
            if (!readAt(fd_, buffer_.data() + filled_, want, next_, reason)) {
                return nullptr;
            }
            next_ += want;
            filled_ += want;
        }
        char* at = buffer_.data() + taken_;
        taken_ += length;
        return at;
    }

private:
    int fd_;
    uint64_t next_;  // the file's next byte not yet in the buffer
    uint64_t end_;
    uint64_t piece_;
    std::vector<char>& buffer_;
    size_t filled_ = 0;
    size_t taken_ = 0;
};

// The entry's stored bytes (decrypted) through inflate or as they are, to their exact end.
class DataCheck {
public:
    DataCheck(uint16_t method, const WrittenEntry& entry, Scratch& scratch)
        : method_(method), entry_(entry), scratch_(scratch) {}

    // Feeds the next piece; false with reason as soon as the data is known to be wrong.
    bool feed(const char* data, size_t length, bool last, std::string& reason) {
        if (method_ == kMethodStore) {
            return produce(reinterpret_cast<const unsigned char*>(data), length, reason);
        }
        if (last && !started_ && entry_.size <= kWholeLimit && scratch_.whole) {
            return inflateWhole(data, length, reason);
        }
        started_ = true;
        z_stream& stream = scratch_.stream;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream.avail_in = static_cast<uInt>(length);
        int result = Z_OK;
        do {
            stream.next_out = scratch_.out.data();
            stream.avail_out = static_cast<uInt>(scratch_.out.size());
            result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                reason = kInflateReason;
                return false;
            }
            if (!produce(scratch_.out.data(), scratch_.out.size() - stream.avail_out, reason)) {
                return false;
            }
        } while (stream.avail_out == 0 && result != Z_STREAM_END);
        ended_ = result == Z_STREAM_END;
        // Every byte must belong to the stream, and the stream must end with the last one.
        if ((ended_ && (stream.avail_in != 0 || !last)) || (last && !ended_)) {
            reason = kInflateReason;
            return false;
        }
        return true;
    }

    // After the last piece: the size and the CRC that were written.
    std::string verdict() const {
        if (size_ != entry_.size) {
            return sizeReason(size_, entry_.size);
        }
        return crc_ == entry_.crc ? std::string() : kCrcReason;
    }

private:
    // Held to every byte consumed and the exact size, libdeflate refuses what zlib refuses.
    bool inflateWhole(const char* data, size_t length, std::string& reason) {
        std::vector<unsigned char>& out = scratch_.inflated;
        out.resize(std::max<size_t>(static_cast<size_t>(entry_.size), 1));
        size_t consumed = 0;
        size_t inflated = 0;
        const libdeflate_result result = libdeflate_deflate_decompress_ex(
            scratch_.whole.get(), data, length, out.data(), static_cast<size_t>(entry_.size),
            &consumed, &inflated);
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE) {
            reason = moreThanWritten();
            return false;
        }
        if (result != LIBDEFLATE_SUCCESS || consumed != length) {
            reason = kInflateReason;
            return false;
        }
        return produce(out.data(), inflated, reason);
    }

    std::string moreThanWritten() const {
        return "Größe stimmt nicht (mehr als " + std::to_string(entry_.size) + " Bytes)";
    }

    bool produce(const unsigned char* data, size_t length, std::string& reason) {
        if (length > entry_.size - size_) {
            reason = moreThanWritten();
            return false;
        }
        crc_ = libdeflate_crc32(crc_, data, length);
        size_ += length;
        return true;
    }

    uint16_t method_;
    const WrittenEntry& entry_;
    Scratch& scratch_;
    bool started_ = false;
    bool ended_ = false;
    uint64_t size_ = 0;
    uint32_t crc_ = 0;
};

// The central record's own fields, as the entry was written.
std::string checkRecord(const CentralRecord& record, const WrittenEntry& entry) {
    if (*record.broken != '\0') {
        return directoryReason(record.broken);
    }
    const std::optional<AesField> aes = aesFieldOf(record);
    if (!versionReadable(record.versionNeeded, aes.has_value())) {
        return directoryReason("Version");
    }
    if ((record.flags & ~kKnownFlags) != 0 ||
        (!isAscii(record.name) &&
         ((record.flags & kFlagUtf8) != 0) != looksLikeUtf8(record.name))) {
        return directoryReason("Flags");
    }
    if (((record.flags & kFlagEncrypted) != 0) != entry.encrypted) {
        return directoryReason("Verschlüsselung");
    }
    // WinZip AES exactly where it was written, of the strength written, over data of a method
    // that clients read.
    const bool aesWritten = entry.encrypted && entry.aesStrength > 0;
    if ((record.method == kMethodAes) != aesWritten || record.fields.hasAes != aesWritten ||
        (aesWritten && (!aes || aes->strength != entry.aesStrength))) {
        return directoryReason("Verschlüsselung");
    }
    const uint16_t method = aes ? aes->method : record.method;
    if (method != kMethodStore && method != kMethodDeflate) {
        return directoryReason("Methode");
    }
    if (record.disk != 0) {
        return directoryReason("Datenträger");
    }
    if (!record.fields.hasTime || record.fields.time.size() != kTimeFieldSize ||
        record.fields.time[0] != 1) {
        return directoryReason("Zeitstempel");
    }
    if (record.size != entry.size) {
        return sizeReason(record.size, entry.size);
    }
    if (record.crc != entry.crc && !(aes && aes->vendorVersion == 2 && record.crc == 0)) {
        return kCrcReason;
    }
    return std::string();
}

// The local header against its central record: what a client reads from either must agree.
std::string compareHeaders(const EntryHeader& local, const CentralRecord& record) {
    if (*local.broken != '\0') {
        return headerReason(local.broken);
    }
    if (!versionReadable(local.versionNeeded, local.fields.hasAes)) {
        return headerReason("Version");
    }
    if (local.flags != record.flags) {
        return mismatchReason("Flags");
    }
    if (local.method != record.method) {
        return mismatchReason("Methode");
    }
    if (local.time != record.time || local.date != record.date) {
        return mismatchReason("Zeit");
    }
    if (local.crc != record.crc) {
        return mismatchReason("Prüfsumme");
    }
    if (local.compressedSize != record.compressedSize || local.size != record.size) {
        return mismatchReason("Größe");
    }
    if (local.name != record.name) {
        return mismatchReason("Name");
    }
    if (!local.fields.hasTime || local.fields.time != record.fields.time) {
        return mismatchReason("Zeitstempel");
    }
    if (local.fields.hasAes != record.fields.hasAes || local.fields.aes != record.fields.aes) {
        return mismatchReason("AES");
    }
    return std::string();
}

// The data descriptor after the data: its signature, the CRC and both sizes of the record.
bool descriptorAgrees(const char* at, bool zip64, const CentralRecord& record) {
    if (get32(at) != 0x08074b50 || get32(at + 4) != record.crc) {
        return false;
    }
    if (zip64) {
        return get64(at + 8) == record.compressedSize && get64(at + 16) == record.size;
    }
    return get32(at + 8) == record.compressedSize && get32(at + 12) == record.size;
}

const char* const kPasswordForgotten = "Passwort nicht mehr bekannt";

// Salt and password verification value of a WinZip AES entry: the keys to read it with, those
// it was written with when the salt is theirs. Leaves in left the bytes of the encrypted data.
std::string beginAes(SpanReader& reader, const AesField& aes, const WrittenEntry& entry,
                     uint64_t& left, std::unique_ptr<AesStream>& stream) {
    const size_t saltSize = aesSaltSize(aes.strength);
    if (left < aesOverhead(aes.strength)) {
        return sizeReason(0, entry.size);
    }
    std::string reason;
    const char* head = reader.take(saltSize + kAesVerifierSize, reason);
    if (head == nullptr) {
        return reason;
    }
    const auto* salt = reinterpret_cast<const uint8_t*>(head);
    std::optional<AesKeys> derived;
    const AesKeys* keys = entry.aesKeys.get();
    if (keys == nullptr || std::memcmp(keys->salt.data(), salt, saltSize) != 0) {
        if (!entry.password) {
            return kPasswordForgotten;
        }
        derived = deriveAesKeys(entry.password->text(), aes.strength, salt);
        keys = &*derived;
    }
    if (std::memcmp(keys->verifier.data(), head + saltSize, kAesVerifierSize) != 0) {
        return kWrongPassword;
    }
    stream = std::make_unique<AesStream>(*keys);
    left -= aesOverhead(aes.strength);
    return std::string();
}

// The archive as every checking thread reads it.
struct Archive {
    int fd = -1;
    Directory directory;
    std::vector<uint64_t> offsets;  // of every local header, sorted
    uint64_t piece = 0;
};

// Why the entry fails the check; empty when it holds.
std::string checkEntry(const Archive& archive, const CentralRecord& record,
                       const WrittenEntry& entry, Scratch& scratch) {
    std::string reason = checkRecord(record, entry);
    if (!reason.empty()) {
        return reason;
    }
    // Its place: from its local header to the next one, or to the central directory.
    const auto [first, after] =
        std::equal_range(archive.offsets.begin(), archive.offsets.end(), record.offset);
    if (after - first > 1) {
        return "überschneidet sich mit einem anderen Eintrag";
    }
    const bool lastEntry = after == archive.offsets.end();
    const uint64_t end = lastEntry ? archive.directory.start : *after;
    if (record.offset >= end || end - record.offset < kLocalHeaderSize) {
        return "Kopf im Archiv fehlt oder ist beschädigt";
    }
    SpanReader reader(archive.fd, record.offset, end, archive.piece, scratch.read);
    const char* fixed = reader.take(kLocalHeaderSize, reason);
    if (fixed == nullptr) {
        return reason;
    }
    const size_t variable = get16(fixed + 26) + static_cast<size_t>(get16(fixed + 28));
    if (end - record.offset < kLocalHeaderSize + variable) {
        return "Kopf im Archiv fehlt oder ist beschädigt";
    }
    const char* rest = reader.take(variable, reason);
    if (rest == nullptr) {
        return reason;
    }
    EntryHeader local;
    if (!parseLocalHeader(std::string_view(fixed, kLocalHeaderSize + variable), local)) {
        return "Kopf im Archiv fehlt oder ist beschädigt";
    }
    reason = compareHeaders(local, record);
    if (!reason.empty()) {
        return reason;
    }

    const bool descriptor = (record.flags & kFlagDescriptor) != 0;
    const uint64_t descriptorSize = descriptor ? (local.zip64 ? 24 : 16) : 0;
    const uint64_t dataAt = reader.position();
    if (end - dataAt < record.compressedSize ||
        end - dataAt - record.compressedSize < descriptorSize) {
        return lastEntry ? "überschneidet sich mit dem Verzeichnis des Archivs"
                         : "überschneidet sich mit dem folgenden Eintrag";
    }
    const std::optional<AesField> aes = aesFieldOf(record);
    const uint16_t method = aes ? aes->method : record.method;
    if (!scratch.ready || (method == kMethodDeflate && inflateReset(&scratch.stream) != Z_OK)) {
        return "zu wenig Arbeitsspeicher";
    }
    uint64_t left = record.compressedSize;
    std::unique_ptr<TraditionalCipher> cipher;
    std::unique_ptr<AesStream> aesStream;
    if (aes) {
        reason = beginAes(reader, *aes, entry, left, aesStream);
        if (!reason.empty()) {
            return reason;
        }
    } else if ((record.flags & kFlagEncrypted) != 0) {
        if (left < kEncryptionHeaderSize) {
            return sizeReason(0, entry.size);
        }
        char* header = reader.take(kEncryptionHeaderSize, reason);
        if (header == nullptr) {
            return reason;
        }
        if (!entry.password) {
            return kPasswordForgotten;
        }
        cipher = std::make_unique<TraditionalCipher>(entry.password->text());
        cipher->decrypt(header, kEncryptionHeaderSize);
        // Clients test the password on this byte: the time's high byte when a descriptor
        // follows the data, else the CRC's.
        const auto expected =
            static_cast<uint8_t>(descriptor ? record.time >> 8 : record.crc >> 24);
        if (static_cast<uint8_t>(header[kEncryptionHeaderSize - 1]) != expected) {
            return "Prüfbyte der Verschlüsselung stimmt nicht";
        }
        left -= kEncryptionHeaderSize;
    }
    if (method == kMethodStore && left != entry.size) {
        return sizeReason(left, entry.size);
    }
    DataCheck data(method, entry, scratch);
    std::string dataReason;
    do {
        const auto length = static_cast<size_t>(std::min(left, archive.piece));
        char* piece = reader.take(length, reason);
        if (piece == nullptr) {
            return reason;
        }
        left -= length;
        auto* bytes = reinterpret_cast<uint8_t*>(piece);
        if (aesStream && !dataReason.empty()) {
            // Wrong data under AES: the code tells whether it was changed.
            aesStream->authenticate(bytes, length);
            continue;
        }
        if (aesStream) {
            aesStream->decrypt(bytes, length);
        } else if (cipher) {
            cipher->decrypt(piece, length);
        }
        if (!data.feed(piece, length, left == 0, dataReason)) {
            if (!aesStream) {
                return dataReason;
            }
        }
    } while (left > 0);
    if (aesStream) {
        const char* code = reader.take(kAesCodeSize, reason);
        if (code == nullptr) {
            return reason;
        }
        if (std::memcmp(code, aesStream->code().data(), kAesCodeSize) != 0) {
            return kCodeReason;
        }
        if (!dataReason.empty()) {
            return dataReason;
        }
    }
    reason = data.verdict();
    if (!reason.empty() || !descriptor) {
        return reason;
    }
    const char* trailer = reader.take(static_cast<size_t>(descriptorSize), reason);
    if (trailer == nullptr) {
        return reason;
    }
    return descriptorAgrees(trailer, local.zip64, record)
               ? std::string()
               : "Datenbeschreibung nach den Daten stimmt nicht mit dem Verzeichnis überein";
}

// Below this many entries one thread checks alone: starting more would cost more.
constexpr size_t kEntriesPerHelper = 64;
constexpr unsigned kMostThreads = 4;
constexpr auto kReportEvery = std::chrono::milliseconds(10);

using Job = std::pair<const CentralRecord*, const WrittenEntry*>;

// The entries in the archive's order, taken one at a time by every checking thread, so that the
// file is read front to back; the first problem (in that order) among those found is kept.
class SharedCheck {
public:
    SharedCheck(const Archive& archive, std::vector<Job> order)
        : archive_(archive), order_(std::move(order)) {}

    size_t size() const { return order_.size(); }
    int32_t done() const { return done_; }
    bool failed() const { return failed_; }
    const CheckProblem& problem() const { return problem_; }

    // Checks entries until none is left or one has failed; after each, calls checked.
    void work(const std::function<void()>& checked) {
        Scratch scratch;
        for (size_t at = next_++; at < order_.size() && !failed_; at = next_++) {
            const auto& [record, entry] = order_[at];
            std::string reason = checkEntry(archive_, *record, *entry, scratch);
            if (!reason.empty()) {
                fail(at, {entry->name, std::move(reason)});
                return;
            }
            ++done_;
            if (checked) {
                checked();
            }
        }
    }

private:
    void fail(size_t at, CheckProblem problem) {
        std::lock_guard lock(mutex_);
        if (!failed_ || at < failedAt_) {
            failedAt_ = at;
            problem_ = std::move(problem);
        }
        failed_ = true;
    }

    const Archive& archive_;
    std::vector<Job> order_;
    std::atomic<size_t> next_{0};
    std::atomic<int32_t> done_{0};
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    size_t failedAt_ = 0;
    CheckProblem problem_;
};

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The written entries' records in the archive's order; false with problem set when one is
// missing or stands there twice.
bool findEntries(const Directory& directory, const std::vector<WrittenEntry>& entries,
                 std::vector<Job>& order, CheckProblem& problem) {
    constexpr size_t kTwice = SIZE_MAX;
    std::unordered_map<std::string_view, size_t> byName;
    byName.reserve(directory.records.size());
    for (size_t i = 0; i < directory.records.size(); ++i) {
        auto [at, added] = byName.emplace(directory.records[i].name, i);
        if (!added) {
            at->second = kTwice;
        }
    }
    order.reserve(entries.size());
    for (const WrittenEntry& entry : entries) {
        const auto found = byName.find(entry.name);
        if (found == byName.end()) {
            problem = {entry.name, "fehlt im Archiv"};
            return false;
        }
        if (found->second == kTwice) {
            problem = {entry.name, "steht mehrfach im Archiv"};
            return false;
        }
        order.emplace_back(&directory.records[found->second], &entry);
    }
    std::sort(order.begin(), order.end(),
              [](const Job& a, const Job& b) { return a.first->offset < b.first->offset; });
    return true;
}

}  // namespace

int32_t checkArchive(const std::string& path, const std::vector<WrittenEntry>& entries,
                     const CheckProgress& progress, CheckProblem& problem, uint64_t piece) {
    Descriptor file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        problem = {path, "kann nicht geöffnet werden: " + platform::systemReason(errno)};
        return ZP_ERR_VERIFY;
    }
    // Pages still cached would be read instead of the disk.
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    Archive archive;
    archive.fd = file.fd;
    archive.piece = std::max<uint64_t>(piece, 1);
    std::string reason;
    if (!readDirectory(file.fd, static_cast<uint64_t>(info.st_size), archive.directory, reason)) {
        problem = {path, reason};
        return ZP_ERR_VERIFY;
    }
    archive.offsets.reserve(archive.directory.records.size());
    for (const CentralRecord& record : archive.directory.records) {
        archive.offsets.push_back(record.offset);
    }
    std::sort(archive.offsets.begin(), archive.offsets.end());
    std::vector<Job> order;
    if (!findEntries(archive.directory, entries, order, problem)) {
        return ZP_ERR_VERIFY;
    }

    SharedCheck check(archive, std::move(order));
    const auto total = static_cast<int32_t>(check.size());
    int32_t reported = 0;
    const auto report = [&] {
        const int32_t done = check.done();
        if (progress && (done != reported || done == 0)) {
            reported = done;
            progress(done, total);
        }
    };
    report();

    // The calling thread checks too and reports the progress, so that the callbacks run on it.
    const unsigned threads = std::clamp<unsigned>(
        std::min<size_t>(std::thread::hardware_concurrency(), check.size() / kEntriesPerHelper), 1,
        kMostThreads);
    std::vector<std::thread> helpers;
    std::atomic<unsigned> running{0};
    for (unsigned i = 1; i < threads; ++i) {
        ++running;
        try {
            helpers.emplace_back([&] {
                check.work(nullptr);
                --running;
            });
        } catch (const std::system_error&) {
            --running;
        }
    }
    check.work(report);
    while (running > 0) {
        std::this_thread::sleep_for(kReportEvery);
        report();
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (check.failed()) {
        problem = check.problem();
        return ZP_ERR_VERIFY;
    }
    report();
    return ZP_OK;
}

}  // namespace zip32
