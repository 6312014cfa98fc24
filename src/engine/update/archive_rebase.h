// Bringing archives the player changed onto the package's target without downloading them
// again: the player's own archive merged with the package's appended tail.
#pragma once

#include <set>
#include <string>

#include "delta/delta_files.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

// What the check of the installed archives found.
struct ArchiveCompatibility {
    // The archive keys whose installed files match neither the base nor the target of their
    // append entry (nor a rebuild the receipt already vouches for).
    std::set<std::string> differing;
    // Every archive the check read, as it was: the package's plan need not read it again.
    KnownStates seen;
};

// Reads every append entry's installed archive. Throws LauncherError ("file_safety";
// "delta_wrong_base" for an archive no rebase may rebuild).
ArchiveCompatibility check_archive_compatibility(const ClientPlace& client, EngineView& view,
                                                 const DeltaManifest& delta,
                                                 const Manifest& manifest);

// Rebuilds each archive of `keys` from the player's copy (as `seen` has it, when it does) and
// the package's tail, installs the results through the install transaction and records them.
// Returns the installed archives' states, each proven in place by the transaction. Throws
// LauncherError.
KnownStates rebase_archives(const ClientPlace& client, const EngineServices& services,
                            EngineView& view, const Manifest& manifest, const DeltaManifest& delta,
                            const ArchiveCompatibility& found);

}  // namespace vorn
