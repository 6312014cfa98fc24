// The update manifest: what the client should contain, validated key by key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/http.h"

namespace vorn {

struct UpdateEngine;

inline constexpr std::uint64_t largest_manifest = 16777216;
inline constexpr std::uint64_t largest_compressed_manifest = 4194304;
inline constexpr std::uint64_t largest_manifest_file = 536870912;  // 512 MiB
inline constexpr std::uint64_t largest_delta_file = 4294967295;
inline constexpr std::uint64_t largest_delta_descriptor = 5242880;
inline constexpr std::size_t most_manifest_files = 100000;
inline constexpr const char* default_executable = "element/elementclient.exe";

struct ManifestFile {
    std::string path;    // as written: case and separators kept
    std::string sha256;  // folded to lower case
    std::uint64_t size = 0;
    std::uint64_t compressed_size = 0;  // 0 when not given
};

struct DeltaDescriptor {
    std::string url;  // as written
    std::string sha256;
    std::uint64_t size = 0;
};

struct Manifest {
    std::string version;
    std::string executable;           // as written
    std::string key;                  // SHA-256 of the canonical document
    std::vector<ManifestFile> files;  // document order, guild icon lists left out
    std::string etag;
    std::uint64_t content_length = 0;  // bytes of the uncompressed document
    std::optional<DeltaDescriptor> delta;
};

// Fetches (compressed first when the address allows), validates and stores the manifest
// in the engine. Throws LauncherError with the event "manifest_failed".
const Manifest& fetch_manifest(UpdateEngine& engine);

// Validates one response and stores the manifest in the engine.
const Manifest& parse_manifest(UpdateEngine& engine, const HttpResponse& response);

std::uint64_t read_manifest_size(const nlohmann::json& object, const char* key, std::uint64_t limit,
                                 bool optional);
std::string parse_manifest_version(const nlohmann::json& value);

// Lower-case ASCII, backslashes turned into slashes.
std::string normalize_manifest_path(std::string_view path);
// The identity of a client path: UTF-16, slashes, upper case (ordinal, case-insensitive).
std::wstring manifest_path_identity(std::string_view path);
// The two guild icon list files, which the guild icon update owns.
bool is_guild_icon_list_path(std::string_view path);

// update_base_url + "/" + sha256[0..2] + "/" + sha256 + ".dat".
std::wstring blob_url(const std::wstring& update_base_url, const std::string& sha256);

}  // namespace vorn
