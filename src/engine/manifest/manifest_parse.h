// Reading the update manifest from a server response, validated key by key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/manifest.h"
#include "net/http.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;

// Validates one response: paths under the client root, a delta address on the update
// server. Throws LauncherError (event "manifest_failed" for a document at fault).
Manifest parse_manifest(const ClientPlace& client, const EngineServices& services,
                        const HttpResponse& response);

enum class SizePresence : bool { required, optional };

// A whole size of 0 to `limit` under `key`; an optional one that is absent reads as 0.
// Throws LauncherError ("manifest_parse", "manifest_limit").
std::uint64_t read_manifest_size(const nlohmann::json& object, const char* key, std::uint64_t limit,
                                 SizePresence presence);
std::string parse_manifest_version(const nlohmann::json& value);

}  // namespace vorn
