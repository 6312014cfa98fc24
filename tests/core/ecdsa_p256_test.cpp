#include "core/ecdsa_p256.h"

#include <gtest/gtest.h>

#include <string>

#include "core/hex.h"

namespace vorn {
namespace {

// Made with Python's cryptography package, which signs in DER: r and s written out here.
const P256PublicKey key = hex_array<64>(
    "c12e401f0e09a03d447a591f6c566ff60348175b60f743af8da52ce2654273a9"
    "c3dd7ce36a1d9f3489413c6666823a8ff159e891414daf896d216727f39fd406");
const P256Signature signature = hex_array<64>(
    "2c3f7bc672e9046fe666641108e9dc328586c46564d5251ae896184d93f96b24"
    "6eafc0bcdc2d749cfdd25d2f72c41d126a51bd2b5fe29d144e130a72d4ae7498");
const std::string message = "vornell signed message";

ByteView view(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(EcdsaP256, AcceptsOnlyTheSignedMessageByItsKey) {
    EXPECT_TRUE(verify_p256_signature(key, view(message), signature));

    EXPECT_FALSE(verify_p256_signature(key, view(message + " "), signature));
    P256Signature flipped = signature;
    flipped[40] ^= 0x01;
    EXPECT_FALSE(verify_p256_signature(key, view(message), flipped));
    EXPECT_FALSE(verify_p256_signature(key, view(message), P256Signature{}));
    P256PublicKey other = key;
    other[63] ^= 0x01;  // no longer a point of the curve
    EXPECT_FALSE(verify_p256_signature(other, view(message), signature));
}

}  // namespace
}  // namespace vorn
