// The strict JSON parse every document goes through, and JSON state files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/bytes.h"

namespace vorn {

inline constexpr int json_max_depth = 64;
inline constexpr std::uint64_t json_max_events = 4000000;

// One JSON text, no comments, nothing after it; no NUL byte, nesting depth at most 64,
// at most 4,000,000 parse events, no key twice in one object. Failures are LauncherErrors
// with the given stage.
nlohmann::json parse_json_bytes(ByteView bytes, const std::string& stage);

// read_file_limited + parse_json_bytes under the stage "parse_json".
nlohmann::json read_json_file(const std::filesystem::path& path, std::uint64_t limit);

// Indent of two spaces, UTF-8 written as is, one final line feed, atomic replace
// (`before_replace` as in write_file_atomic).
void write_json_file(const std::filesystem::path& path, const nlohmann::json& document,
                     const std::function<void()>& before_replace = {});

// The compact serialisation (no spaces, keys in ascending byte order) that checksums and
// keys are taken over.
std::string compact_json(const nlohmann::json& document);

}  // namespace vorn
