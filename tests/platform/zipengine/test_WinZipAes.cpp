// WinZip AES's parts against OpenSSL: the keys from PBKDF2, on the processor's SHA instructions
// and without them, and the encryption of an entry handed over in pieces of any size.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "platform/zipengine/WinZipAes.h"

namespace {

using zip32::AesKeys;
using zip32::AesStream;

// Passwords shorter and longer than SHA-1's block (which is hashed first), with umlauts; the
// three strengths' salts and key lengths.
TEST(WinZipAes, KeysAreThoseOfOpenSslsPbkdf2) {
    const uint8_t salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const std::string& password : {std::string("Grüße aus Köln"), std::string(64, 'p'),
                                        std::string(65, 'p'), std::string(99, 'x')}) {
        for (int strength = 1; strength <= 3; ++strength) {
            SCOPED_TRACE(std::to_string(password.size()) + " bytes, strength " +
                         std::to_string(strength));
            const size_t keySize = zip32::aesKeySize(strength);
            std::vector<uint8_t> expected(2 * keySize + 2);
            ASSERT_EQ(
                PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                                       static_cast<int>(zip32::aesSaltSize(strength)), 1000,
                                       static_cast<int>(expected.size()), expected.data()),
                1);
            for (const bool shaExtensions : {true, false}) {
                std::vector<uint8_t> derived(expected.size());
                zip32::pbkdf2Sha1(password, salt, zip32::aesSaltSize(strength), derived.data(),
                                  derived.size(), shaExtensions);
                EXPECT_EQ(derived, expected) << (shaExtensions ? "SHA instructions" : "portable");
            }
            const AesKeys keys = zip32::deriveAesKeys(password, strength, salt);
            EXPECT_EQ(
                std::vector<uint8_t>(keys.encryption.begin(), keys.encryption.begin() + keySize),
                std::vector<uint8_t>(expected.begin(), expected.begin() + keySize));
            EXPECT_EQ(std::vector<uint8_t>(keys.verifier.begin(), keys.verifier.end()),
                      std::vector<uint8_t>(expected.end() - 2, expected.end()));
        }
    }
    // Each entry gets a salt of its own, and with it keys of its own.
    const AesKeys first = zip32::newAesKeys("Geheimnis", 3);
    const AesKeys second = zip32::newAesKeys("Geheimnis", 3);
    EXPECT_NE(first.salt, second.salt);
    EXPECT_NE(first.encryption, second.encryption);
}

// The key stream and the code go on across pieces, also across the stream's internal buffer of
// 4096 bytes, and decrypting gives the data back under the same code.
TEST(WinZipAes, PiecesOfAnySizeGiveTheSameBytesAndCode) {
    const AesKeys keys = zip32::newAesKeys("Geheimnis", 3);
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::vector<uint8_t> whole = data;
    AesStream once(keys);
    once.encrypt(whole.data(), whole.size());
    const auto code = once.code();
    EXPECT_NE(whole, data);

    for (const size_t piece : {size_t{1}, size_t{15}, size_t{17}, size_t{4095}, size_t{4097}}) {
        SCOPED_TRACE(piece);
        std::vector<uint8_t> pieces = data;
        AesStream encrypting(keys);
        for (size_t at = 0; at < pieces.size(); at += piece) {
            encrypting.encrypt(pieces.data() + at, std::min(piece, pieces.size() - at));
        }
        EXPECT_EQ(pieces, whole);
        EXPECT_EQ(encrypting.code(), code);
        AesStream decrypting(keys);
        for (size_t at = 0; at < pieces.size(); at += piece) {
            decrypting.decrypt(pieces.data() + at, std::min(piece, pieces.size() - at));
        }
        EXPECT_EQ(pieces, data);
        EXPECT_EQ(decrypting.code(), code);
    }
}

}  // namespace
