// The diagnostic report: a small, strictly bounded document of fixed vocabulary. It
// carries no paths, file names, user texts or machine data.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "core/launcher_error.h"

namespace vorn {

inline constexpr const char* report_schema = "vornell.launcher.diagnostics.v1";
inline constexpr std::size_t largest_report = 8192;
inline constexpr std::size_t most_report_attempts = 3;

// The report of `error`: its recorded attempts (the first three) or one record built from
// its own fields. Unknown stages become "unknown". Throws LauncherError when the result
// does not validate.
nlohmann::json build_report(const LauncherError& error, const std::string& report_id,
                            const std::string& client_state);

// Throws LauncherError (stage "diagnostic_report", an internal English text) unless the
// document is a report of exactly the six keys with valid values. A stored report may
// also say "pending_retry" and must use only known stage and encoding words.
void validate_report(const nlohmann::json& report, bool stored);

}  // namespace vorn
