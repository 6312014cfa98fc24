// The release descriptor: which launcher build is published, with its updater component,
// validated strictly before anything is downloaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "net/http.h"
#include "net/url_policy.h"
#include "selfupdate/release_build.h"

namespace vorn {

struct ReleaseEntry {
    std::string build;
    std::string sha256;
    std::uint64_t size = 0;
    std::wstring url;
};

struct ReleaseDescriptor {
    ReleaseEntry launcher;
    std::optional<ReleaseEntry> updater;
};

// How addresses in a descriptor are judged: the trust rule, and outside the local-test
// mode the one address each kind of file may come from.
struct ReleaseRules {
    UrlTrust trust = UrlTrust::project_hosts;
    bool local_test = false;
    std::wstring launcher_url;
    std::wstring updater_url;
};

// Status, parse and every rule of the descriptor. Throws LauncherError
// ("self_update_descriptor").
ReleaseDescriptor fetch_release_descriptor(const HttpResponse& response, const ReleaseRules& rules);

ReleaseEntry parse_release_entry(const nlohmann::json& value, const ReleaseRules& rules,
                                 bool is_updater);

}  // namespace vorn
