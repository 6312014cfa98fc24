// Requests to the loopback server, made as the launcher makes them in the local test mode.
#pragma once

#include <string>

#include "core/bytes.h"
#include "net/http.h"
#include "support/loopback_control.h"

namespace vorn::test {

inline HttpRequest loopback_request(const LoopbackServer& server, const std::string& path,
                                    std::uint64_t max_body = default_max_body) {
    return make_request(server.url(path), UrlTrust::loopback_only, max_body);
}

// The bytes the server sends for "body_size": byte i is i % 251.
inline Bytes pattern_bytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i % 251);
    }
    return bytes;
}

}  // namespace vorn::test
