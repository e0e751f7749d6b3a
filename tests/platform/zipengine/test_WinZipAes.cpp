// WinZip AES's keys against OpenSSL's PBKDF2, on the processor's SHA instructions and without
// them. The encryption itself is read back by 7-Zip in the engine's archive tests.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "platform/zipengine/WinZipAes.h"

namespace {

using zip32::AesKeys;

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

}  // namespace
