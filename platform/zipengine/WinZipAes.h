#pragma once
// WinZip's AES encryption of ZIP entries, as 7-Zip and the archive managers on libzip or
// libarchive read it: keys from the password and a random salt by PBKDF2-HMAC-SHA1 (1000
// rounds), AES in counter mode with a little-endian counter from 1, and an HMAC-SHA1 over the
// encrypted data. An entry's stored bytes are the salt, a 2-byte password verification value, the
// encrypted data and the first 10 bytes of that HMAC; its header names method 99 and an extra
// field 0x9901 with the strength and the real method.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

namespace zip32 {

constexpr uint16_t kMethodAes = 99;
constexpr uint16_t kAesExtraId = 0x9901;
constexpr size_t kAesExtraSize = 7;
constexpr size_t kAesVerifierSize = 2;
constexpr size_t kAesCodeSize = 10;
constexpr int kAes256 = 3;  // strengths 1, 2 and 3 are AES-128, -192 and -256

size_t aesSaltSize(int strength);
size_t aesKeySize(int strength);
// The bytes an entry stores beside its data: salt, verification value and code.
size_t aesOverhead(int strength);

// The keys of one entry, overwritten when they go.
struct AesKeys {
    AesKeys() = default;
    ~AesKeys();
    AesKeys(const AesKeys&) = default;
    AesKeys& operator=(const AesKeys&) = default;

    int strength = kAes256;
    std::array<uint8_t, 16> salt{};  // aesSaltSize(strength) bytes used
    std::array<uint8_t, 32> encryption{};
    std::array<uint8_t, 32> authentication{};
    std::array<uint8_t, kAesVerifierSize> verifier{};
};

// The keys for the password and a salt of aesSaltSize(strength) bytes. PBKDF2 runs on SHA-1's
// block function (on the processor's SHA instructions where it has them): OpenSSL's
// PKCS5_PBKDF2_HMAC costs six to nine times as much, and an archive of 25,000 files derives
// 25,000 keys.
AesKeys deriveAesKeys(std::string_view password, int strength, const uint8_t* salt);
// PBKDF2-HMAC-SHA1 with 1000 rounds, at most 80 bytes and a salt of at most 16; with
// shaExtensions on the processor's SHA instructions where it has them (for tests of both ways).
void pbkdf2Sha1(std::string_view password, const uint8_t* salt, size_t saltSize, uint8_t* out,
                size_t outSize, bool shaExtensions);
// Keys under a fresh random salt; throws std::runtime_error when the system gives no randomness.
AesKeys newAesKeys(std::string_view password, int strength);

// One entry's data through AES-CTR, piece by piece, and the code over the encrypted bytes.
// Throws std::bad_alloc or std::runtime_error when OpenSSL cannot set up.
class AesStream {
public:
    explicit AesStream(const AesKeys& keys);
    ~AesStream();
    AesStream(const AesStream&) = delete;
    AesStream& operator=(const AesStream&) = delete;

    void encrypt(uint8_t* data, size_t length);  // in place; the code covers what comes out
    void decrypt(uint8_t* data, size_t length);  // in place; the code covers what goes in
    void authenticate(const uint8_t* data, size_t length);  // the code only
    // After the last piece.
    std::array<uint8_t, kAesCodeSize> code();

private:
    void applyKeyStream(uint8_t* data, size_t length);

    static constexpr size_t kStreamBlocks = 256;
    evp_cipher_ctx_st* cipher_ = nullptr;
    evp_mac_ctx_st* mac_ = nullptr;
    uint64_t counter_ = 0;  // of the last block whose key stream was made
    std::array<uint8_t, 16 * kStreamBlocks> stream_{};
    size_t streamUsed_ = 0;
    size_t streamSize_ = 0;
};

}  // namespace zip32
