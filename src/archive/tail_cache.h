// The appended tail of a rebased archive: the package's payload inflated once into the
// client's service folder, and proven before every use.
#pragma once

#include <filesystem>

#include "delta/delta_fetch.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

inline constexpr const char* tail_cache_folder = "archive-tails-v1";

// archive-tails-v1/<raw digest>.bin in the service folder. An existing file must be the
// payload's raw bytes ("delta_rebase_cache"; a damaged one is removed, so that the next run
// makes it again); an absent one is made from the verified payload through a temporary.
// Throws LauncherError.
std::filesystem::path ensure_tail(const DeltaSource& source, const Manifest& manifest,
                                  const delta::Payload& payload);

// Keeps, of the tails in `state_dir`, only those of the payloads `package` names.
void keep_only_package_tails(const std::filesystem::path& state_dir,
                             const DeltaManifest* package) noexcept;

}  // namespace vorn
