// The common start of the check and update actions: what the servers offer, then every
// client file verified against it.
#pragma once

#include <optional>
#include <vector>

#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineView;
struct UpdateEngine;

struct VerificationPlan {
    Manifest manifest;
    std::optional<DeltaManifest> delta;
    // What verification accepts besides the manifest (a package's rebuilt archives, the
    // accepted updater, a patched guild archive); none without a package.
    Overrides overrides;
    std::vector<ManifestFile> mismatches;
};

// Fetches the manifest (kept as the action's) and its delta package manifest.
VerificationPlan fetch_verification_plan(UpdateEngine& engine);

// Marks the client as under repair, then verifies every file against the plan, with what
// the package accepts besides the manifest.
void verify_against_plan(const ClientPlace& client, EngineView& view, VerificationPlan& plan);

// fetch_verification_plan, then verify_against_plan.
VerificationPlan prepare_verification(UpdateEngine& engine);

}  // namespace vorn
