// The legacy fixed-layout receipt as the older launcher wrote it, for the tests and the
// fuzz driver's seeds. Header only: the fuzz driver links no test library.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/sha256.h"
#include "engine/manifest/installed_receipt.h"

namespace vorn::test {

// The fields of a legacy receipt.
struct Legacy {
    std::string root;  // client_key of the client folder
    std::string feed;
    std::string key;
    std::string version = "3";
    std::wstring etag = L"\"e\"";
    std::uint32_t length = 100;
};

// The 576-byte record, checksum included.
inline std::string legacy_bytes(const Legacy& legacy) {
    std::string bytes(legacy_receipt_size, '\0');
    auto put_u32 = [&](std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<char>(value >> (8 * i));
        }
    };
    std::memcpy(bytes.data(), "VNLRCP1", 8);
    put_u32(8, 1);
    put_u32(12, legacy_receipt_size);
    put_u32(16, 1);
    bytes.replace(24, legacy.root.size(), legacy.root);
    bytes.replace(89, legacy.feed.size(), legacy.feed);
    bytes.replace(154, legacy.key.size(), legacy.key);
    bytes.replace(219, legacy.version.size(), legacy.version);
    for (std::size_t i = 0; i < legacy.etag.size(); ++i) {
        bytes[251 + 2 * i] = static_cast<char>(legacy.etag[i] & 0xff);
        bytes[252 + 2 * i] = static_cast<char>(legacy.etag[i] >> 8);
    }
    put_u32(507, legacy.length);
    const std::string checksum = sha256_string(std::string_view(bytes.data(), 511));
    bytes.replace(511, 64, checksum);
    return bytes;
}

}  // namespace vorn::test
