// A reader that fails on purpose, to prove that the driver records the input of every kind
// of fault: a crash (an access violation), an abort, an input running past one second, and
// an exception no reader may throw. Only run when asked for (--probe KIND).
#pragma once

#include <optional>
#include <string>

#include "targets.h"

namespace vorn::fuzz {

// None for an unknown kind.
std::optional<Target> fault_probe(const std::string& kind);

}  // namespace vorn::fuzz
