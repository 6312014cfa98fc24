// Applying a delta package: every entry's file ends with exactly its target content, or the
// journal lets the next run put every file back as it was.
#pragma once

#include <cstdint>

#include "delta/delta_files.h"
#include "delta/delta_manifest.h"
#include "delta/delta_roots.h"
#include "delta/payload_cache.h"
#include "model/manifest.h"

namespace vorn {

// What a dry run found: nothing to do, or how many files need work and their target bytes.
struct DeltaPlanSummary {
    bool up_to_date = true;
    std::size_t work_items = 0;
    std::uint64_t target_bytes = 0;
};

// Inspects the client under the lock without writing anything ("delta_recovery_required"
// while a journal waits); files `known` holds are not read. Throws LauncherError.
DeltaPlanSummary plan_delta(const DeltaRootInputs& inputs, const DeltaManifest& manifest,
                            const Overrides& overrides, const DeltaProgress& progress,
                            const KnownStates& known = {});

// Recovers any earlier run, inspects, stages every new file in a private work folder,
// publishes them behind the journal, proves the result and cleans up. Overrides name files
// already brought to their final state (the archive rebase); the inspection takes files
// `known` holds as it has them, unless a recovery ran first. Throws LauncherError; from the
// first journal write on, a failure leaves the journal for recovery.
void apply_delta(const DeltaRootInputs& inputs, const DeltaManifest& manifest,
                 const PayloadProvider& payloads, const DeltaProgress& progress,
                 const Overrides& overrides, const KnownStates& known = {});

}  // namespace vorn
