// Which addresses a request may go to.
#pragma once

#include <cstdint>

namespace vorn {

// The project's HTTPS hosts, or (in the local test mode) loopback only.
enum class UrlTrust : std::uint8_t { project_hosts, loopback_only };

}  // namespace vorn
