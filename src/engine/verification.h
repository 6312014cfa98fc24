// Full verification: every manifest file against the file on disk.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "delta/file_digest.h"
#include "engine/manifest.h"

namespace vorn {

struct UpdateEngine;
struct DeltaManifest;

// Manifest and package paths name one file whatever their ASCII case and separators.
struct ManifestPathLess {
    bool operator()(const std::string& left, const std::string& right) const {
        return normalize_manifest_path(left) < normalize_manifest_path(right);
    }
};

// Client path -> a state accepted for it besides the manifest's own.
using Overrides = std::map<std::string, FileDigest, ManifestPathLess>;

bool is_updater_path(std::string_view path);
bool is_guild_archive_path(std::string_view path);

// The manifest files that do not match, in manifest order. A missing or different file is
// a result, never an error; a file of another size is not read unless it is the guild
// archive or has an override. Throws LauncherError for an unsafe or unreadable client.
std::vector<ManifestFile> verify_client(UpdateEngine& engine, const Manifest& manifest,
                                        const Overrides& overrides);

// What a delta package needs accepted besides the manifest: the rebuilt archives of the
// rebase receipt, the accepted updater build and a guild archive patched by the launcher.
Overrides updater_overrides(UpdateEngine& engine, const Manifest& manifest,
                            const DeltaManifest& delta_manifest);

}  // namespace vorn
