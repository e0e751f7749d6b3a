#include "platform/zipengine/EntryRead.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/zipengine/EntryNames.h"
#include "platform/zipengine/WinZipAes.h"

namespace zip32 {

struct EntryScratch::Parts {
    Parts() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~Parts() {
        if (ready) {
            inflateEnd(&stream);
        }
    }
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;

    static constexpr size_t kInflateOut = 256 * 1024;

    z_stream stream{};
    bool ready = false;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> whole{
        libdeflate_alloc_decompressor(), &libdeflate_free_decompressor};
    std::vector<char> read;
    std::vector<unsigned char> out = std::vector<unsigned char>(kInflateOut);
    std::vector<unsigned char> inflated;
};

EntryScratch::EntryScratch() : parts_(std::make_unique<Parts>()) {}
EntryScratch::~EntryScratch() = default;

void sortOffsets(ArchiveView& archive) {
    archive.offsets.clear();
    archive.offsets.reserve(archive.directory.records.size());
    for (const CentralRecord& record : archive.directory.records) {
        archive.offsets.push_back(record.offset);
    }
    std::sort(archive.offsets.begin(), archive.offsets.end());
}

namespace {

using Scratch = EntryScratch::Parts;

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
const char* const kPasswordForgotten = "Passwort nicht mehr bekannt";
const char* const kNoHeader = "Kopf im Archiv fehlt oder ist beschädigt";

EntryOutcome damaged(std::string reason) {
    return {reason.empty() ? EntryFault::none : EntryFault::damaged, std::move(reason)};
}

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

// Reads a part of the file front to back, a piece at a time.
class SpanReader {
public:
    SpanReader(int fd, uint64_t begin, uint64_t end, uint64_t piece, std::vector<char>& buffer)
        : fd_(fd), next_(begin), end_(end), piece_(piece), buffer_(buffer) {}

    uint64_t position() const { return next_ - (filled_ - taken_); }
    void setPiece(uint64_t piece) { piece_ = piece; }

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
                readFailed_ = true;
                return nullptr;
            }
            next_ += want;
            filled_ += want;
        }
        char* at = buffer_.data() + taken_;
        taken_ += length;
        return at;
    }

    // What a take that gave nullptr means.
    EntryOutcome failure(std::string reason) const {
        return {readFailed_ ? EntryFault::unreadable : EntryFault::damaged, std::move(reason)};
    }

private:
    int fd_;
    uint64_t next_;  // the file's next byte not yet in the buffer
    uint64_t end_;
    uint64_t piece_;
    std::vector<char>& buffer_;
    size_t filled_ = 0;
    size_t taken_ = 0;
    bool readFailed_ = false;
};

// The entry's stored bytes (decrypted) through inflate or as they are, to their exact end, and on
// to the sink when there is one.
class DataCheck {
public:
    DataCheck(uint16_t method, const WrittenEntry& entry, Scratch& scratch,
              const EntryReading& reading)
        : method_(method), entry_(entry), scratch_(scratch), reading_(reading) {}

    bool stopped() const { return stopped_; }

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
        return crc_ == entry_.crc || !reading_.crcKnown ? std::string() : kCrcReason;
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
        if (reading_.sink != nullptr && length > 0 && !(*reading_.sink)(data, length)) {
            stopped_ = true;
            reason = "angehalten";
            return false;
        }
        return true;
    }

    uint16_t method_;
    const WrittenEntry& entry_;
    Scratch& scratch_;
    const EntryReading& reading_;
    bool started_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    uint64_t size_ = 0;
    uint32_t crc_ = 0;
};

// The central record's own fields, as the entry was written.
std::string checkRecord(const CentralRecord& record, const WrittenEntry& entry, bool strict) {
    if (*record.broken != '\0') {
        return directoryReason(record.broken);
    }
    const std::optional<AesField> aes = aesFieldOf(record);
    if (strict && !versionReadable(record.versionNeeded, aes.has_value())) {
        return directoryReason("Version");
    }
    if ((record.flags & ~kKnownFlags) != 0 ||
        (strict && !isAscii(record.name) &&
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
    if (strict && (!record.fields.hasTime || record.fields.time.size() != kTimeFieldSize ||
                   record.fields.time[0] != 1)) {
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

// The local header against its central record: what a client reads from either must agree. Other
// writers may leave CRC and sizes 0 in a local header whose data a descriptor follows, and put
// other times in its extended field.
std::string compareHeaders(const EntryHeader& local, const CentralRecord& record, bool strict) {
    if (*local.broken != '\0') {
        return headerReason(local.broken);
    }
    if (strict && !versionReadable(local.versionNeeded, local.fields.hasAes)) {
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
    const bool deferred = !strict && (local.flags & kFlagDescriptor) != 0 && local.crc == 0 &&
                          local.compressedSize == 0 && local.size == 0;
    if (local.crc != record.crc && !deferred) {
        return mismatchReason("Prüfsumme");
    }
    if ((local.compressedSize != record.compressedSize || local.size != record.size) && !deferred) {
        return mismatchReason("Größe");
    }
    if (local.name != record.name) {
        return mismatchReason("Name");
    }
    if (strict && (!local.fields.hasTime || local.fields.time != record.fields.time)) {
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

// Salt and password verification value of a WinZip AES entry: the keys to read it with, those
// it was written with when the salt is theirs. Leaves in left the bytes of the encrypted data.
EntryOutcome beginAes(SpanReader& reader, const AesField& aes, const WrittenEntry& entry,
                      uint64_t& left, std::unique_ptr<AesStream>& stream) {
    const size_t saltSize = aesSaltSize(aes.strength);
    if (left < aesOverhead(aes.strength)) {
        return damaged(sizeReason(0, entry.size));
    }
    std::string reason;
    const char* head = reader.take(saltSize + kAesVerifierSize, reason);
    if (head == nullptr) {
        return reader.failure(std::move(reason));
    }
    const auto* salt = reinterpret_cast<const uint8_t*>(head);
    std::optional<AesKeys> derived;
    const AesKeys* keys = entry.aesKeys.get();
    if (keys == nullptr || std::memcmp(keys->salt.data(), salt, saltSize) != 0) {
        if (!entry.password) {
            return {EntryFault::noPassword, kPasswordForgotten};
        }
        derived = deriveAesKeys(entry.password->text(), aes.strength, salt);
        keys = &*derived;
    }
    if (std::memcmp(keys->verifier.data(), head + saltSize, kAesVerifierSize) != 0) {
        return {EntryFault::wrongPassword, kWrongPassword};
    }
    stream = std::make_unique<AesStream>(*keys);
    left -= aesOverhead(aes.strength);
    return {};
}

}  // namespace

int aesStrengthOf(const EntryHeader& header) {
    const std::optional<AesField> aes = aesFieldOf(header);
    return aes ? aes->strength : 0;
}

EntryOutcome readEntry(const ArchiveView& archive, const CentralRecord& record,
                       const WrittenEntry& entry, EntryScratch& entryScratch,
                       const EntryReading& reading) {
    Scratch& scratch = entryScratch.parts();
    std::string reason = checkRecord(record, entry, reading.strict);
    if (!reason.empty()) {
        return damaged(std::move(reason));
    }
    // Its place: from its local header to the next one, or to the central directory.
    const auto [first, after] =
        std::equal_range(archive.offsets.begin(), archive.offsets.end(), record.offset);
    if (after - first > 1) {
        return damaged("überschneidet sich mit einem anderen Eintrag");
    }
    const bool lastEntry = after == archive.offsets.end();
    const uint64_t end = lastEntry ? archive.directory.start : *after;
    if (record.offset >= end || end - record.offset < kLocalHeaderSize) {
        return damaged(kNoHeader);
    }
    SpanReader reader(archive.fd, record.offset, end, archive.piece, scratch.read);
    const char* fixed = reader.take(kLocalHeaderSize, reason);
    if (fixed == nullptr) {
        return reader.failure(std::move(reason));
    }
    const size_t variable = get16(fixed + 26) + static_cast<size_t>(get16(fixed + 28));
    if (end - record.offset < kLocalHeaderSize + variable) {
        return damaged(kNoHeader);
    }
    const char* rest = reader.take(variable, reason);
    if (rest == nullptr) {
        return reader.failure(std::move(reason));
    }
    EntryHeader local;
    if (!parseLocalHeader(std::string_view(fixed, kLocalHeaderSize + variable), local)) {
        return damaged(kNoHeader);
    }
    reason = compareHeaders(local, record, reading.strict);
    if (!reason.empty()) {
        return damaged(std::move(reason));
    }

    const bool descriptor = (record.flags & kFlagDescriptor) != 0;
    const uint64_t descriptorSize = descriptor ? (local.zip64 ? 24 : 16) : 0;
    const uint64_t dataAt = reader.position();
    if (end - dataAt < record.compressedSize ||
        end - dataAt - record.compressedSize < descriptorSize) {
        return damaged(lastEntry ? "überschneidet sich mit dem Verzeichnis des Archivs"
                                 : "überschneidet sich mit dem folgenden Eintrag");
    }
    const std::optional<AesField> aes = aesFieldOf(record);
    const uint16_t method = aes ? aes->method : record.method;
    if (!scratch.ready || (method == kMethodDeflate && inflateReset(&scratch.stream) != Z_OK)) {
        return {EntryFault::memory, "zu wenig Arbeitsspeicher"};
    }
    uint64_t left = record.compressedSize;
    std::unique_ptr<TraditionalCipher> cipher;
    std::unique_ptr<AesStream> aesStream;
    if (aes) {
        EntryOutcome begun = beginAes(reader, *aes, entry, left, aesStream);
        if (begun.fault != EntryFault::none) {
            return begun;
        }
    } else if ((record.flags & kFlagEncrypted) != 0) {
        if (left < kEncryptionHeaderSize) {
            return damaged(sizeReason(0, entry.size));
        }
        char* header = reader.take(kEncryptionHeaderSize, reason);
        if (header == nullptr) {
            return reader.failure(std::move(reason));
        }
        if (!entry.password) {
            return {EntryFault::noPassword, kPasswordForgotten};
        }
        cipher = std::make_unique<TraditionalCipher>(entry.password->text());
        cipher->decrypt(header, kEncryptionHeaderSize);
        // Clients test the password on this byte: the time's high byte when a descriptor
        // follows the data, else the CRC's.
        const auto expected =
            static_cast<uint8_t>(descriptor ? record.time >> 8 : record.crc >> 24);
        if (static_cast<uint8_t>(header[kEncryptionHeaderSize - 1]) != expected) {
            return {EntryFault::wrongPassword, "Prüfbyte der Verschlüsselung stimmt nicht"};
        }
        left -= kEncryptionHeaderSize;
    }
    if (reading.passwordOnly) {
        return {};
    }
    if (method == kMethodStore && left != entry.size) {
        return damaged(sizeReason(left, entry.size));
    }
    uint64_t piece = archive.piece;
    if (reading.wholeAtOnce && method == kMethodDeflate && entry.size <= kWholeLimit) {
        piece = std::max<uint64_t>(piece, left);
        reader.setPiece(piece);
    }
    DataCheck data(method, entry, scratch, reading);
    std::string dataReason;
    do {
        const auto length = static_cast<size_t>(std::min(left, piece));
        char* bytes = reader.take(length, reason);
        if (bytes == nullptr) {
            return reader.failure(std::move(reason));
        }
        left -= length;
        auto* unsignedBytes = reinterpret_cast<uint8_t*>(bytes);
        if (aesStream && !dataReason.empty()) {
            // Wrong data under AES: the code tells whether it was changed.
            aesStream->authenticate(unsignedBytes, length);
            continue;
        }
        if (aesStream) {
            aesStream->decrypt(unsignedBytes, length);
        } else if (cipher) {
            cipher->decrypt(bytes, length);
        }
        if (!data.feed(bytes, length, left == 0, dataReason)) {
            if (data.stopped()) {
                return {EntryFault::stopped, std::move(dataReason)};
            }
            if (!aesStream) {
                return damaged(std::move(dataReason));
            }
        }
    } while (left > 0);
    if (aesStream) {
        const char* code = reader.take(kAesCodeSize, reason);
        if (code == nullptr) {
            return reader.failure(std::move(reason));
        }
        if (std::memcmp(code, aesStream->code().data(), kAesCodeSize) != 0) {
            return damaged(kCodeReason);
        }
        if (!dataReason.empty()) {
            return damaged(std::move(dataReason));
        }
    }
    reason = data.verdict();
    if (!reason.empty() || !descriptor) {
        return damaged(std::move(reason));
    }
    const char* trailer = reader.take(static_cast<size_t>(descriptorSize), reason);
    if (trailer == nullptr) {
        return reader.failure(std::move(reason));
    }
    return damaged(descriptorAgrees(trailer, local.zip64, record)
                       ? std::string()
                       : "Datenbeschreibung nach den Daten stimmt nicht mit dem Verzeichnis "
                         "überein");
}

}  // namespace zip32
