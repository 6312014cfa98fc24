// The eight server addresses of the launcher and their built-in defaults.
#pragma once

#include <string>

namespace vorn {

// Field names are the keys under which a local-test configuration overrides them.
struct Endpoints {
    std::wstring manifestUrl;
    std::wstring updateBaseUrl;
    std::wstring guildBaseUrl;
    std::wstring guildFallbackUrl;
    std::wstring releaseUrl;
    std::wstring releaseFallbackUrl;
    std::wstring reportUrl;
    std::wstring reportFallbackUrl;
};

// HTTPS on the default port, on the hosts set at build time.
Endpoints default_endpoints();

}  // namespace vorn
