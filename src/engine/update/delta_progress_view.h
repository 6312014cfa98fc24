// Views of the delta apply's progress events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

struct ClientPlace;
struct EngineView;

// Publishes the busy view of one progress event of the delta apply or plan. Before the
// "staged_all" view it makes sure the game is not running, so a game started while a
// package was staged stops the apply before anything reaches the live folder.
void delta_progress_view(const ClientPlace& client, EngineView& view, std::string_view event,
                         const std::wstring& path, std::uint64_t done, std::uint64_t total);

}  // namespace vorn
