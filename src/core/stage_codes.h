// The closed list of stage codes a diagnostic report accepts.
#pragma once

#include <string_view>

namespace vorn {

// True for a stage code the diagnostic report accepts: a member of the closed list, or a
// "delta_"/"pck_rebase_" code of at most 64 bytes of [a-z0-9_].
bool is_known_stage(std::string_view stage);

}  // namespace vorn
