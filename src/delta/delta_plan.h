// The plan both the apply and its dry run start from: every entry weighed against the live client.
#pragma once

#include <vector>

#include "delta/delta_files.h"
#include "delta/delta_journal.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

// The manifest's stored text parses again to exactly the entries in memory
// ("delta_plan_changed").
void require_plan_unchanged(const DeltaManifest& manifest);

// One plan item per entry, from the live files (read, or as `known` has them), the
// overrides and the pinned updater. An append whose live file is not its base fails with
// "delta_wrong_base".
std::vector<DeltaPlanItem> plan_items(const DeltaRoots& roots, const DeltaManifest& manifest,
                                      const Overrides& overrides, const KnownStates& known,
                                      const DeltaProgress& progress);

}  // namespace vorn
