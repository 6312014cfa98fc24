// The view record every long operation publishes.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace vorn {

// Phase values: what the window shows.
namespace phase {
inline constexpr std::int32_t idle = 0;          // nothing has run yet
inline constexpr std::int32_t checking = 1;      // verification, guild icons
inline constexpr std::int32_t needs_action = 2;  // update available, unverified, interrupted
inline constexpr std::int32_t downloading = 3;
inline constexpr std::int32_t installing = 4;
inline constexpr std::int32_t ready = 8;
inline constexpr std::int32_t error = 9;
}  // namespace phase

struct UiSnapshot {
    std::int32_t phase = phase::idle;
    std::int32_t percent = 0;  // 0-100; the window clamps it
    std::wstring title;
    std::wstring detail;
    std::wstring hint;
    std::string client_version;  // UTF-8; empty when the engine has none
    bool busy = false;
    bool can_play = false;
    bool can_update = false;
};

// {"detail", "hint", "percent", "phase", "title"}: the form the local-test result writes.
nlohmann::json snapshot_json(const UiSnapshot& snapshot);

}  // namespace vorn
