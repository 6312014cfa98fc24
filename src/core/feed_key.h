// A public key the build trusts for the feed's signatures.
#pragma once

#include <string>

#include "core/ecdsa_p256.h"

namespace vorn {

// The key with its id: the first 16 hex digits of SHA-256 of the key.
struct FeedKey {
    std::string id;
    P256PublicKey key{};
};

}  // namespace vorn
