// The update manifest as the engine holds it, and the path identities every layer shares.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/download_limit.h"
#include "model/file_digest.h"

namespace vorn {

inline constexpr std::uint64_t largest_manifest = 16777216;
inline constexpr std::uint64_t largest_compressed_manifest = 4194304;
// A file without a delta package comes whole, in one download.
inline constexpr std::uint64_t largest_manifest_file = largest_single_download;
// Files a delta package may cover, and the archives a rebase may write.
inline constexpr std::uint64_t largest_delta_file = 4294967295;   // 4 GiB - 1
inline constexpr std::uint64_t largest_delta_manifest = 5242880;  // 5 MiB
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

// Lower-case ASCII, backslashes turned into slashes.
std::string normalize_manifest_path(std::string_view path);
// The identity of a client path: UTF-16, slashes, upper case (ordinal, case-insensitive).
std::wstring manifest_path_identity(std::string_view path);
// The two guild icon list files, which the guild icon update owns.
bool is_guild_icon_list_path(std::string_view path);
// element/VornellUpdater.exe, which only the self-update replaces.
bool is_updater_path(std::string_view path);
// element/surfaces.pck, which the guild icon update patches.
bool is_guild_archive_path(std::string_view path);

// Manifest and package paths name one file whatever their ASCII case and separators.
struct ManifestPathLess {
    bool operator()(const std::string& left, const std::string& right) const {
        return normalize_manifest_path(left) < normalize_manifest_path(right);
    }
};

// Client path -> a state accepted for it besides the manifest's own.
using Overrides = std::map<std::string, FileDigest, ManifestPathLess>;

// update_base_url + "/" + sha256[0..2] + "/" + sha256 + ".dat".
std::wstring blob_url(const std::wstring& update_base_url, const std::string& sha256);

}  // namespace vorn
