// The appended tail of a rebased archive: the package's payload inflated once into the
// client's service folder, and proven before every use.
#pragma once

#include <filesystem>

#include "delta/delta_fetch.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

// archive-tails-v1/<raw digest>.bin in the service folder. An existing file must be the
// payload's raw bytes ("delta_rebase_cache"; it stays for inspection); an absent one is made
// from the verified payload through a temporary. Throws LauncherError.
std::filesystem::path ensure_tail(const DeltaSource& source, const Manifest& manifest,
                                  const delta::Payload& payload);

}  // namespace vorn
