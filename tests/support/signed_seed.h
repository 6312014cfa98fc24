// One signature made with the feed tool's signing code by a fixed key, over a fixed
// document: the fuzz driver's seed, the signature check's benchmark and the reader's tests
// share it.
#pragma once

#include <algorithm>
#include <string>

#include "core/hex.h"
#include "net/feed_signature.h"

namespace vorn::test {

inline constexpr const char* seed_key_id = "104d7ec419b956f9";
inline constexpr const char* seed_document = "{\"version\": \"7\"}\n";
// Valid until 2099-12-31T23:59:59Z, kind "manifest", sequence 5.
inline constexpr const char* seed_signature =
    R"({"schema": "vornell.feed-signature.v1", "key": "104d7ec419b956f9", "kind": "manifest",)"
    R"( "sha256": "4b75ee8eba3d2f044c82914b03e387065d94d60fa35fd221209dc656878ca731",)"
    R"( "size": 17, "sequence": 5, "expires": "2099-12-31T23:59:59Z", "signature":)"
    R"( "b8ef7b8e4d160516d82eefb8f9ffa9436f181de25c4c035ad313e18a9951e0fa)"
    R"(f5613409849a61ed52e05a9d24d4bd65cd844d3217499daafdca7f55b72213f4"})";

inline FeedKey seed_key() {
    return {seed_key_id,
            hex_array<64>("7de8d3ca48456c1a8f983f4b9bb9a10abd3d3437a22e9255214cb5407806927f"
                          "fb0e9296a1526e1ff15fff31476561fa73e3f1d95a2ecb952c1e49b74cdeb6df")};
}

inline ByteView bytes_of(const char* text) {
    return {reinterpret_cast<const std::uint8_t*>(text), std::char_traits<char>::length(text)};
}

}  // namespace vorn::test
