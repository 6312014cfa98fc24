// Client paths derived from server documents, under this engine's client root.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/file_system.h"

namespace vorn {

struct UpdateEngine;

// `relative` (UTF-8) under the client root through the relative-path rules, then the
// length rule.
std::filesystem::path resolve_client_path(const UpdateEngine& engine, std::string_view relative,
                                          LinkCheck links);

}  // namespace vorn
