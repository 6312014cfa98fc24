// The view record every long operation publishes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace vorn {

// What the window shows. The numbers are the ones the local-test result and the reports
// write.
enum class Phase : std::int32_t {
    idle = 0,          // nothing has run yet
    checking = 1,      // verification, guild icons
    needs_action = 2,  // update available, unverified, interrupted
    downloading = 3,
    installing = 4,
    ready = 8,
    error = 9,
};

constexpr std::int32_t phase_number(Phase phase) {
    return static_cast<std::int32_t>(phase);
}

// Whether an operation is still running when a view is published.
enum class Busy : bool { no = false, yes = true };

struct UiSnapshot {
    Phase phase = Phase::idle;
    std::int32_t percent = 0;  // 0-100; the window clamps it
    std::wstring title;
    std::wstring detail;
    std::wstring hint;
    std::string client_version;  // UTF-8; empty when the engine has none
    bool busy = false;
    bool can_play = false;
    bool can_update = false;
};

using SnapshotSink = std::function<void(const UiSnapshot&)>;

// {"detail", "hint", "percent", "phase", "title"}: the form the local-test result writes.
nlohmann::json snapshot_json(const UiSnapshot& snapshot);

}  // namespace vorn
