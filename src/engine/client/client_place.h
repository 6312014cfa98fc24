// The client this launcher run serves: its folder, its identity and its state files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "model/launcher_config.h"

namespace vorn {

inline constexpr const wchar_t* receipt_file_name = L"installed-v2.json";
inline constexpr const wchar_t* marker_file_name = L"update-dirty-v1.bin";
inline constexpr const wchar_t* transaction_file_name = L"transaction-v2.json";

// Fixed for the run once opened; every path absolute and within the length rule.
struct ClientPlace {
    std::filesystem::path root;
    std::string key;   // client_key of root, taken once: it asks the file system
    std::string feed;  // feed_digest of the manifest address: receipts of another feed are foreign
    std::filesystem::path cache_dir;
    std::filesystem::path receipt_path;
    std::filesystem::path marker_path;
    std::filesystem::path transaction_path;
    std::filesystem::path guild_state_path;
    bool local_test = false;  // loopback servers and no game to run
};

// Makes root and cache_dir absolute, applies the path length rule to them and to the state
// files, creates the service folder and sweeps the temporaries of state files a killed
// launcher left. Throws LauncherError.
ClientPlace open_client_place(const LauncherConfig& config);

// `relative` (UTF-8) under the client root through the relative-path rules, then the
// length rule.
std::filesystem::path resolve_client_path(const ClientPlace& client, std::string_view relative,
                                          LinkCheck links);

// The feed value: SHA-256 of the UTF-8 manifest address.
std::string feed_digest(const std::wstring& manifest_url);

}  // namespace vorn
