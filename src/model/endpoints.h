// The eight server addresses of the launcher and their built-in defaults.
#pragma once

#include <string>

namespace vorn {

// Field names are the keys under which a local-test configuration overrides them.
struct Endpoints {
    std::wstring manifest_url;
    std::wstring update_base_url;
    std::wstring guild_base_url;
    std::wstring guild_fallback_url;
    std::wstring release_url;
    std::wstring release_fallback_url;
    std::wstring report_url;
    std::wstring report_fallback_url;
};

// HTTPS on the default port, on the hosts set at build time.
Endpoints default_endpoints();

// The only addresses a release descriptor may name outside the local-test mode.
std::wstring launcher_download_url();
std::wstring updater_download_url();

}  // namespace vorn
