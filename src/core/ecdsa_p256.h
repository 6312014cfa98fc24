// ECDSA over P-256 with SHA-256 through BCrypt: the check of a detached signature by a
// public key the build carries.
#pragma once

#include <array>
#include <cstdint>

#include "core/bytes.h"

namespace vorn {

// X then Y, 32 bytes each, big-endian: the uncompressed point without its 0x04 prefix.
using P256PublicKey = std::array<std::uint8_t, 64>;
// r then s, 32 bytes each, big-endian: the form BCrypt signs and verifies.
using P256Signature = std::array<std::uint8_t, 64>;

// True when `signature` is a valid ECDSA signature over SHA-256(`message`) by `key`; false
// for a bad signature or a key that is not a point of the curve. Throws LauncherError
// ("crypto") when BCrypt cannot run the check at all.
bool verify_p256_signature(const P256PublicKey& key, ByteView message,
                           const P256Signature& signature);

}  // namespace vorn
