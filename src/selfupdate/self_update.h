// The whole self-update: the release descriptor, the updater component, the new build
// staged beside the client, and the hand-over.
#pragma once

#include <functional>
#include <string>

#include "core/launcher_error.h"
#include "model/progress.h"
#include "net/feed_trust.h"
#include "selfupdate/release_descriptor.h"
#include "selfupdate/updater_component.h"

namespace vorn {

struct SelfUpdateRun {
    SelfUpdateContext context;
    std::wstring release_url;
    std::wstring release_fallback_url;
    ReleaseRules rules;
    FeedTrust feed_trust;  // with keys, the descriptor is used only when signed
    std::string running_build;
    ProgressSink progress;  // the views of the operation
    // Stores a report of a failure; returns its identifier, or "" when none was stored.
    std::function<std::string(const LauncherError&)> report;
};

// True when the updater has taken over and the launcher must end. False when nothing was
// handed over: no newer build, one already running, or a failure (reported and shown as
// a phase-9 view). Never throws.
bool run_self_update(const SelfUpdateRun& run) noexcept;

// The staged new launcher: VornellLauncher.update.<digest>.exe in the client folder.
std::filesystem::path staged_launcher_path(const SelfUpdateContext& context,
                                           const std::string& sha256);

}  // namespace vorn
