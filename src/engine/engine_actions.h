// The engine's front door: one action at a time under the engine lock.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/launcher_error.h"
#include "delta/delta_manifest.h"
#include "model/action.h"
#include "model/manifest.h"
#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Runs one action to its final view, published through the sink and returned. Throws
// LauncherError (the worker shows it as the error view); any other failure becomes
// "local_io". An error leaves the client unverified.
UiSnapshot run_engine_action(UpdateEngine& engine, Action action);

// Whether the launcher may replace itself now: no game of this client runs ("game_running"
// propagates) and no update is interrupted.
bool is_at_rest_for_self_update(UpdateEngine& engine);

bool reports_clean(const UpdateEngine& engine);

// "clean" or "unverified", the client state a diagnostic report carries; without an engine
// the client is unverified.
const char* report_client_state(const UpdateEngine* engine) noexcept;

// element/elementclient.exe is a plain file under the root; any error counts as absent.
bool game_executable_present(const UpdateEngine& engine);

// The common start of the check and update actions.
struct VerificationPlan {
    Manifest manifest;
    std::optional<DeltaManifest> delta;
    std::vector<ManifestFile> mismatches;
};

// Fetches the manifest (and its delta package manifest), marks the client as under
// repair, then verifies every file.
VerificationPlan prepare_verification(UpdateEngine& engine);

// The two halves of prepare_verification: what the servers offer, then the marker and the
// verification against it. The update looks at the offer before it marks anything.
VerificationPlan fetch_verification_plan(UpdateEngine& engine);
void verify_against_plan(UpdateEngine& engine, VerificationPlan& plan);

// The error as it leaves an action: a "delta_wrong_base" names the archive in words, and
// the manifest's file count travels to the report.
void prepare_error_for_user(const UpdateEngine& engine, LauncherError& error);

// "Диагностика сохранена. Код: …" when the report function stored a report, else
// `fallback`. Never throws.
std::wstring saved_diagnostics_text(UpdateEngine& engine, const LauncherError& error, Action action,
                                    const std::wstring& fallback);

}  // namespace vorn
