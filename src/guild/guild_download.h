// The guild icon set's files from the guild address, or its fallback.
#pragma once

#include <string>

#include "core/bytes.h"
#include "net/http.h"
#include "net/url_policy.h"

namespace vorn {

inline constexpr std::uint64_t largest_guild_version = 1024;
inline constexpr std::uint64_t largest_guild_text = 8388608;
inline constexpr std::uint64_t largest_guild_png = 33554432;

// Where the guild icon set is published.
struct GuildSource {
    Transport* transport = nullptr;  // not owned; outlives every call
    std::wstring base_url;           // ends in "/lk_server/klan/"; empty when not configured
    std::wstring fallback_url;
    UrlTrust trust = UrlTrust::project_hosts;
};

// GETs `name` from the base address, then the fallback, each with three attempts; the
// first 200 answer is the body. Throws LauncherError ("guild_http", with the last HTTP
// status seen).
Bytes download_guild_file(const GuildSource& source, const std::wstring& name, std::uint64_t limit);

}  // namespace vorn
