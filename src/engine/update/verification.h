// Full verification: every manifest file against the file on disk.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/file_digest.h"
#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineView;
struct DeltaManifest;

// The manifest files that do not match, in manifest order. A missing or different file is
// a result, never an error; a file of another size is not read unless it is the guild
// archive or has an override. Throws LauncherError for an unsafe or unreadable client.
std::vector<ManifestFile> verify_client(const ClientPlace& client, EngineView& view,
                                        const Manifest& manifest, const Overrides& overrides);

// What a delta package needs accepted besides the manifest: the rebuilt archives of the
// rebase receipt, the accepted updater build and a guild archive patched by the launcher.
Overrides updater_overrides(const ClientPlace& client, EngineView& view, const Manifest& manifest,
                            const DeltaManifest& delta_manifest);

}  // namespace vorn
