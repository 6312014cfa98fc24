// The rebase receipt: the rebuilt archives accepted in place of the manifest's.
#pragma once

#include <string>

#include "engine/verification.h"

namespace vorn {

struct UpdateEngine;
struct Manifest;

inline constexpr const wchar_t* rebase_state_file_name = L"archive-rebase-state-v1.json";
inline constexpr std::uint64_t largest_rebase_state = 65536;

// The archives the state file vouches for, each proven by its digest now. Empty when the
// file is absent or any check fails: a stale or edited state is ignored, never repaired.
Overrides load_rebase_receipt(UpdateEngine& engine, const Manifest& manifest,
                              const std::string& delta_sha256);

}  // namespace vorn
