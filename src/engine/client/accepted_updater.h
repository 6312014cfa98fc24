// The updater builds the launcher accepts in its client folder.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "model/file_digest.h"

namespace vorn {

struct ClientPlace;

inline constexpr const char* updater_relative_path = "element/VornellUpdater.exe";

// The accepted digests as the build embedded them, the current build's first. Defined by
// the generated list the executable links (the product's, or a test's own).
std::span<const std::string_view> accepted_updater_build_list();

bool is_accepted_updater_digest(std::string_view sha256);

// The live updater when it is a plain file of an accepted build; none otherwise.
// Throws LauncherError when the path is unsafe or the file cannot be read.
std::optional<FileDigest> find_accepted_updater(const ClientPlace& client);

}  // namespace vorn
