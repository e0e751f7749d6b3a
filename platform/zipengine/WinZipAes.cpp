// SHA-1's block function is only in OpenSSL's low-level interface, deprecated but kept in 3.x.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/zipengine/WinZipAes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace zip32 {

namespace {

constexpr int kRounds = 1000;
constexpr size_t kDigestSize = 20;
constexpr size_t kBlockSize = 64;

// HMAC-SHA1 with the key's two padded blocks hashed once, so that each round costs two runs of
// the block function.
class Sha1Hmac {
public:
    explicit Sha1Hmac(std::string_view key) {
        std::array<uint8_t, kBlockSize> block{};
        if (key.size() > kBlockSize) {
            SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), block.data());
        } else {
            std::memcpy(block.data(), key.data(), key.size());
        }
        std::array<uint8_t, kBlockSize> pad{};
        for (const auto& [state, mask] : {std::pair{&inner_, 0x36}, std::pair{&outer_, 0x5c}}) {
            for (size_t i = 0; i < kBlockSize; ++i) {
                pad[i] = static_cast<uint8_t>(block[i] ^ mask);
            }
            SHA1_Init(state);
            SHA1_Update(state, pad.data(), pad.size());
        }
        OPENSSL_cleanse(block.data(), block.size());
        OPENSSL_cleanse(pad.data(), pad.size());
    }
    ~Sha1Hmac() {
        OPENSSL_cleanse(&inner_, sizeof inner_);
        OPENSSL_cleanse(&outer_, sizeof outer_);
    }
    Sha1Hmac(const Sha1Hmac&) = delete;
    Sha1Hmac& operator=(const Sha1Hmac&) = delete;

    // The HMAC of any message.
    void of(const uint8_t* message, size_t length, uint8_t* out) const {
        SHA_CTX state = inner_;
        SHA1_Update(&state, message, length);
        uint8_t inner[kDigestSize];
        SHA1_Final(inner, &state);
        state = outer_;
        SHA1_Update(&state, inner, sizeof inner);
        SHA1_Final(out, &state);
        OPENSSL_cleanse(&state, sizeof state);
    }

    // The HMAC of a 20-byte message, in place: one padded block for each hash.
    void ofDigest(uint8_t* digest) const {
        // Both hashes cover one key block and 20 bytes: 84 bytes, 672 bits.
        uint8_t block[kBlockSize] = {};
        block[kDigestSize] = 0x80;
        block[kBlockSize - 2] = (672 >> 8) & 0xFF;
        block[kBlockSize - 1] = 672 & 0xFF;
        std::memcpy(block, digest, kDigestSize);
        SHA_CTX state = inner_;
        SHA1_Transform(&state, block);
        put(state, block);
        state = outer_;
        SHA1_Transform(&state, block);
        put(state, digest);
    }

    const SHA_CTX& innerPad() const { return inner_; }
    const SHA_CTX& outerPad() const { return outer_; }

private:
    static void put(const SHA_CTX& state, uint8_t* out) {
        const SHA_LONG words[] = {state.h0, state.h1, state.h2, state.h3, state.h4};
        for (size_t i = 0; i < 5; ++i) {
            out[4 * i] = static_cast<uint8_t>(words[i] >> 24);
            out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 16);
            out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 8);
            out[4 * i + 3] = static_cast<uint8_t>(words[i]);
        }
    }

    SHA_CTX inner_{};
    SHA_CTX outer_{};
};

uint32_t bigEndian(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

#if defined(__x86_64__)
// SHA-1 on the processor's SHA extensions, two chains at a time: one chain alone leaves the unit
// waiting on each step's result, and more than two no longer fit the registers. A state is held
// as the instructions take it: A, B, C, D in one register, E in the top lane of another.
#define SONDREL_SHA_TARGET __attribute__((target("sha,sse4.1")))

struct ShaState {
    __m128i abcd;
    __m128i e;
};

bool hasShaExtensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    const bool sse41 = __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_SSE4_1) != 0;
    return sse41 && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_SHA) != 0;
}

SONDREL_SHA_TARGET ShaState shaState(const SHA_CTX& state) {
    return {_mm_set_epi32(static_cast<int>(state.h0), static_cast<int>(state.h1),
                          static_cast<int>(state.h2), static_cast<int>(state.h3)),
            _mm_set_epi32(static_cast<int>(state.h4), 0, 0, 0)};
}

SONDREL_SHA_TARGET ShaState shaState(const uint8_t* digest) {
    return {_mm_set_epi32(
                static_cast<int>(bigEndian(digest)), static_cast<int>(bigEndian(digest + 4)),
                static_cast<int>(bigEndian(digest + 8)), static_cast<int>(bigEndian(digest + 12))),
            _mm_set_epi32(static_cast<int>(bigEndian(digest + 16)), 0, 0, 0)};
}

SONDREL_SHA_TARGET void putDigest(const ShaState& state, uint8_t* out) {
    const uint32_t words[] = {static_cast<uint32_t>(_mm_extract_epi32(state.abcd, 3)),
                              static_cast<uint32_t>(_mm_extract_epi32(state.abcd, 2)),
                              static_cast<uint32_t>(_mm_extract_epi32(state.abcd, 1)),
                              static_cast<uint32_t>(_mm_extract_epi32(state.abcd, 0)),
                              static_cast<uint32_t>(_mm_extract_epi32(state.e, 3))};
    for (size_t i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<uint8_t>(words[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(words[i]);
    }
}

// One of the twenty steps of four rounds of a block, for N chains; message holds each chain's 16
// words, four to a register, first word in the top lane, the schedule running three steps ahead.
// before holds ABCD as it was before the step: its A turns into the next step's E.
template <int N, int kStep>
SONDREL_SHA_TARGET inline void shaStep(const ShaState* state, __m128i* abcd, __m128i* before,
                                       __m128i (*message)[4]) {
    for (int lane = 0; lane < N; ++lane) {
        __m128i* w = message[lane];
        const __m128i e = kStep == 0 ? _mm_add_epi32(state[lane].e, w[0])
                                     : _mm_sha1nexte_epu32(before[lane], w[kStep % 4]);
        if constexpr (kStep >= 3 && kStep <= 18) {
            w[(kStep + 1) % 4] = _mm_sha1msg2_epu32(w[(kStep + 1) % 4], w[kStep % 4]);
        }
        before[lane] = abcd[lane];
        abcd[lane] = _mm_sha1rnds4_epu32(abcd[lane], e, kStep / 5);
        if constexpr (kStep >= 1 && kStep <= 16) {
            w[(kStep + 3) % 4] = _mm_sha1msg1_epu32(w[(kStep + 3) % 4], w[kStep % 4]);
        }
        if constexpr (kStep >= 2 && kStep <= 17) {
            w[(kStep + 2) % 4] = _mm_xor_si128(w[(kStep + 2) % 4], w[kStep % 4]);
        }
    }
}

template <int N, int... kSteps>
SONDREL_SHA_TARGET inline void shaSteps(const ShaState* state, __m128i* abcd, __m128i* before,
                                        __m128i (*message)[4],
                                        std::integer_sequence<int, kSteps...>) {
    (shaStep<N, kSteps>(state, abcd, before, message), ...);
}

// One block of N chains.
template <int N>
SONDREL_SHA_TARGET inline void shaCompress(ShaState* state, __m128i (*message)[4]) {
    __m128i abcd[N];
    __m128i before[N];
    for (int lane = 0; lane < N; ++lane) {
        abcd[lane] = state[lane].abcd;
    }
    shaSteps<N>(state, abcd, before, message, std::make_integer_sequence<int, 20>{});
    for (int lane = 0; lane < N; ++lane) {
        state[lane].e = _mm_sha1nexte_epu32(before[lane], state[lane].e);
        state[lane].abcd = _mm_add_epi32(abcd[lane], state[lane].abcd);
    }
}

// The rounds after the first of N PBKDF2 blocks at once: u holds each block's first HMAC and
// sum their running xor.
template <int N>
SONDREL_SHA_TARGET __attribute__((noinline)) void shaRounds(const SHA_CTX& innerPad,
                                                            const SHA_CTX& outerPad,
                                                            uint8_t (*u)[kDigestSize],
                                                            uint8_t (*sum)[kDigestSize]) {
    // The message of a 20-byte digest after one key block: the digest, the end mark, 672 bits.
    const __m128i mark = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
    const __m128i length = _mm_set_epi32(0, 0, 0, 672);
    const ShaState inner = shaState(innerPad);
    const ShaState outer = shaState(outerPad);
    ShaState current[N];
    ShaState total[N];
    for (int lane = 0; lane < N; ++lane) {
        current[lane] = shaState(u[lane]);
        total[lane] = current[lane];
    }
    for (int round = 1; round < kRounds; ++round) {
        __m128i message[N][4];
        for (const ShaState& pad : {inner, outer}) {
            for (int lane = 0; lane < N; ++lane) {
                message[lane][0] = current[lane].abcd;
                message[lane][1] = _mm_or_si128(current[lane].e, mark);
                message[lane][2] = _mm_setzero_si128();
                message[lane][3] = length;
                current[lane] = pad;
            }
            shaCompress<N>(current, message);
        }
        for (int lane = 0; lane < N; ++lane) {
            total[lane].abcd = _mm_xor_si128(total[lane].abcd, current[lane].abcd);
            total[lane].e = _mm_xor_si128(total[lane].e, current[lane].e);
        }
    }
    for (int lane = 0; lane < N; ++lane) {
        putDigest(total[lane], sum[lane]);
    }
}
#endif

// PBKDF2-HMAC-SHA1 (RFC 8018) into out.
void pbkdf2(std::string_view password, const uint8_t* salt, size_t saltSize, uint8_t* out,
            size_t outSize, bool shaExtensions) {
    const Sha1Hmac hmac(password);
    constexpr size_t kMostBlocks = 4;  // 66 bytes for AES-256
    const size_t blocks = (outSize + kDigestSize - 1) / kDigestSize;
    uint8_t u[kMostBlocks][kDigestSize];
    uint8_t sum[kMostBlocks][kDigestSize];
    std::array<uint8_t, 16 + 4> first{};
    std::memcpy(first.data(), salt, saltSize);
    for (size_t block = 0; block < blocks; ++block) {
        const auto number = static_cast<uint32_t>(block + 1);
        for (size_t i = 0; i < 4; ++i) {
            first[saltSize + i] = static_cast<uint8_t>(number >> (24 - 8 * i));
        }
        hmac.of(first.data(), saltSize + 4, u[block]);
        std::memcpy(sum[block], u[block], kDigestSize);
    }
#if defined(__x86_64__)
    static const bool available = hasShaExtensions();
    if (shaExtensions && available) {
        for (size_t block = 0; block < blocks; block += 2) {
            if (block + 1 < blocks) {
                shaRounds<2>(hmac.innerPad(), hmac.outerPad(), u + block, sum + block);
            } else {
                shaRounds<1>(hmac.innerPad(), hmac.outerPad(), u + block, sum + block);
            }
        }
        shaExtensions = true;
    } else {
        shaExtensions = false;
    }
#else
    shaExtensions = false;
#endif
    if (!shaExtensions) {
        for (size_t block = 0; block < blocks; ++block) {
            for (int round = 1; round < kRounds; ++round) {
                hmac.ofDigest(u[block]);
                for (size_t i = 0; i < kDigestSize; ++i) {
                    sum[block][i] ^= u[block][i];
                }
            }
        }
    }
    for (size_t block = 0; block < blocks; ++block) {
        const size_t done = block * kDigestSize;
        std::memcpy(out + done, sum[block], std::min(kDigestSize, outSize - done));
    }
    OPENSSL_cleanse(u, sizeof u);
    OPENSSL_cleanse(sum, sizeof sum);
}

const EVP_CIPHER* blockCipher(int strength) {
    switch (strength) {
        case 1:
            return EVP_aes_128_ecb();
        case 2:
            return EVP_aes_192_ecb();
        default:
            return EVP_aes_256_ecb();
    }
}

EVP_MAC* hmacAlgorithm() {
    // Fetched once and kept: fetching is a lookup in OpenSSL's providers.
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

}  // namespace

void pbkdf2Sha1(std::string_view password, const uint8_t* salt, size_t saltSize, uint8_t* out,
                size_t outSize, bool shaExtensions) {
    pbkdf2(password, salt, saltSize, out, outSize, shaExtensions);
}

size_t aesSaltSize(int strength) {
    return 4 * static_cast<size_t>(strength + 1);
}

size_t aesKeySize(int strength) {
    return 8 * static_cast<size_t>(strength + 1);
}

size_t aesOverhead(int strength) {
    return aesSaltSize(strength) + kAesVerifierSize + kAesCodeSize;
}

AesKeys::~AesKeys() {
    OPENSSL_cleanse(encryption.data(), encryption.size());
    OPENSSL_cleanse(authentication.data(), authentication.size());
    OPENSSL_cleanse(verifier.data(), verifier.size());
}

AesKeys deriveAesKeys(std::string_view password, int strength, const uint8_t* salt) {
    AesKeys keys;
    keys.strength = strength;
    const size_t keySize = aesKeySize(strength);
    std::memcpy(keys.salt.data(), salt, aesSaltSize(strength));
    std::array<uint8_t, 2 * 32 + kAesVerifierSize> derived{};
    const size_t derivedSize = 2 * keySize + kAesVerifierSize;
    pbkdf2(password, salt, aesSaltSize(strength), derived.data(), derivedSize, true);
    std::memcpy(keys.encryption.data(), derived.data(), keySize);
    std::memcpy(keys.authentication.data(), derived.data() + keySize, keySize);
    std::memcpy(keys.verifier.data(), derived.data() + 2 * keySize, kAesVerifierSize);
    OPENSSL_cleanse(derived.data(), derived.size());
    return keys;
}

AesKeys newAesKeys(std::string_view password, int strength) {
    std::array<uint8_t, 16> salt{};
    if (RAND_bytes(salt.data(), static_cast<int>(aesSaltSize(strength))) != 1) {
        throw std::runtime_error("keine Zufallszahlen für die Verschlüsselung");
    }
    return deriveAesKeys(password, strength, salt.data());
}

AesStream::AesStream(const AesKeys& keys) {
    const size_t keySize = aesKeySize(keys.strength);
    cipher_ = EVP_CIPHER_CTX_new();
    mac_ = hmacAlgorithm() != nullptr ? EVP_MAC_CTX_new(hmacAlgorithm()) : nullptr;
    if (cipher_ == nullptr || mac_ == nullptr) {
        EVP_CIPHER_CTX_free(cipher_);
        EVP_MAC_CTX_free(mac_);
        throw std::bad_alloc();
    }
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_END};
    if (EVP_EncryptInit_ex(cipher_, blockCipher(keys.strength), nullptr, keys.encryption.data(),
                           nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(cipher_, 0) != 1 ||
        EVP_MAC_init(mac_, keys.authentication.data(), keySize, params) != 1) {
        EVP_CIPHER_CTX_free(cipher_);
        EVP_MAC_CTX_free(mac_);
        throw std::runtime_error("AES-Verschlüsselung nicht verfügbar");
    }
}

AesStream::~AesStream() {
    OPENSSL_cleanse(stream_.data(), stream_.size());
    EVP_CIPHER_CTX_free(cipher_);
    EVP_MAC_CTX_free(mac_);
}

void AesStream::applyKeyStream(uint8_t* data, size_t length) {
    while (length > 0) {
        if (streamUsed_ == streamSize_) {
            stream_.fill(0);
            for (size_t block = 0; block < kStreamBlocks; ++block) {
                const uint64_t number = ++counter_;
                for (size_t byte = 0; byte < 8; ++byte) {
                    stream_[16 * block + byte] = static_cast<uint8_t>(number >> (8 * byte));
                }
            }
            int made = 0;
            if (EVP_EncryptUpdate(cipher_, stream_.data(), &made, stream_.data(),
                                  static_cast<int>(stream_.size())) != 1 ||
                static_cast<size_t>(made) != stream_.size()) {
                throw std::runtime_error("AES-Verschlüsselung fehlgeschlagen");
            }
            streamSize_ = stream_.size();
            streamUsed_ = 0;
        }
        const size_t n = std::min(length, streamSize_ - streamUsed_);
        const uint8_t* key = stream_.data() + streamUsed_;
        for (size_t i = 0; i < n; ++i) {
            data[i] ^= key[i];
        }
        streamUsed_ += n;
        data += n;
        length -= n;
    }
}

void AesStream::authenticate(const uint8_t* data, size_t length) {
    if (length > 0 && EVP_MAC_update(mac_, data, length) != 1) {
        throw std::runtime_error("HMAC-SHA1 fehlgeschlagen");
    }
}

void AesStream::encrypt(uint8_t* data, size_t length) {
    applyKeyStream(data, length);
    authenticate(data, length);
}

void AesStream::decrypt(uint8_t* data, size_t length) {
    authenticate(data, length);
    applyKeyStream(data, length);
}

std::array<uint8_t, kAesCodeSize> AesStream::code() {
    std::array<uint8_t, kDigestSize> full{};
    size_t made = 0;
    if (EVP_MAC_final(mac_, full.data(), &made, full.size()) != 1 || made != full.size()) {
        throw std::runtime_error("HMAC-SHA1 fehlgeschlagen");
    }
    std::array<uint8_t, kAesCodeSize> code{};
    std::memcpy(code.data(), full.data(), code.size());
    return code;
}

}  // namespace zip32
