// Verified delta payloads in the client's state folder.
#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "delta/delta_fetch.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

// What the delta apply asks for each payload: the path of its verified compressed blob.
using PayloadProvider = std::function<std::filesystem::path(const delta::Payload&)>;

// Returns the cache file of the payload once it holds the announced blob, downloading it
// when absent. A cached file that does not match stops the work ("delta_payload_cache")
// and is removed, so that the next run downloads it again; a link or a folder in its place
// is left alone. Throws LauncherError.
std::filesystem::path cached_payload(const DeltaSource& source, const Manifest& manifest,
                                     const delta::Payload& payload);

inline constexpr const char* payload_cache_folder = "delta-payloads-v1";

// Deletes, in `folder`, every plain file named "<digest><suffix>" (or its download lock,
// or a partial or temporary of one: "<digest><suffix>.<hex digits>.part" or ".tmp") whose
// digest is not in `named`. Other names stay. Never throws: a file that cannot go now (a
// lock held by a download under way) goes next time.
void keep_only_named(const std::filesystem::path& folder, std::wstring_view suffix,
                     const std::set<std::string>& named) noexcept;

// Keeps, of the payloads cached in `state_dir`, only those `package` names.
void keep_only_package_payloads(const std::filesystem::path& state_dir,
                                const DeltaManifest* package) noexcept;

// Deletes a cache file that failed its check; never throws (the failure is what the user
// must read, and a file that cannot go now is found damaged again next time).
void discard_damaged_cache_file(const std::filesystem::path& path) noexcept;

}  // namespace vorn
