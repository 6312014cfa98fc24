#include "diagnostics/diagnostic_report.h"

#include <array>

#include "build_info.h"
#include "core/hex.h"
#include "core/json_io.h"
#include "core/stage_codes.h"
#include "core/text.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::size_t report_id_length = 32;
constexpr std::size_t longest_build = 32;
constexpr std::array<std::string_view, 6> encodings = {"none",    "identity", "gzip",
                                                       "deflate", "br",       "other"};
constexpr std::array<std::string_view, 6> number_fields = {"win32", "http_status",    "attempt",
                                                           "bytes", "expected_bytes", "elapsed_ms"};

[[noreturn]] void refuse(const char* text) {
    throw LauncherError("diagnostic_report", to_utf16(text));
}

bool is_encoding(const std::string& word) {
    return std::find(encodings.begin(), encodings.end(), word) != encodings.end();
}

// One attempt record through the check: only the ten keys, each of its type, missing ones
// defaulted. A new report writes unknown words as "unknown"/"other"; a stored one is
// refused for them.
json checked_attempt(const json& attempt, bool stored) {
    if (!attempt.is_object()) {
        refuse("invalid diagnostic attempt");
    }
    json checked = {{"stage", "unknown"}, {"content_encoding", "none"}, {"parse_ok", false}};
    for (const std::string_view key : number_fields) {
        checked[std::string(key)] = 0;
    }
    checked["file_count"] = 0;
    for (const auto& [key, value] : attempt.items()) {
        if (!checked.contains(key)) {
            refuse("unexpected diagnostic field");
        }
        const bool text = key == "stage" || key == "content_encoding";
        if ((text && !value.is_string()) || (key == "parse_ok" && !value.is_boolean()) ||
            (!text && key != "parse_ok" && !value.is_number())) {
            refuse("invalid diagnostic field");
        }
        checked[key] = value;
    }
    const std::string stage = checked["stage"].get<std::string>();
    const std::string encoding = checked["content_encoding"].get<std::string>();
    if (stored && ((stage != "unknown" && !is_known_stage(stage)) || !is_encoding(encoding))) {
        refuse("unknown diagnostic code");
    }
    if (!is_known_stage(stage)) {
        checked["stage"] = "unknown";
    }
    if (!is_encoding(encoding)) {
        checked["content_encoding"] = "other";
    }
    return checked;
}

}  // namespace

json build_report(const LauncherError& error, const std::string& report_id,
                  const std::string& client_state) {
    json attempts = json::array();
    if (error.attempts.is_array()) {
        for (const json& attempt : error.attempts) {
            if (attempts.size() == most_report_attempts) {
                break;
            }
            attempts.push_back(checked_attempt(attempt, false));
        }
    }
    if (attempts.empty()) {
        attempts.push_back(checked_attempt(attempt_record(error, 1), false));
    }
    json report = {
        {"schema", report_schema},
        {"build", std::string(launcher_build)},
        {"report_id", report_id},
        {"event", error.event == "manifest_failed" ? "manifest_failed" : "update_failed"},
        {"client_state",
         client_state == "clean" || client_state == "dirty" ? client_state : "unverified"},
        {"attempts", attempts},
    };
    validate_report(report, false);
    return report;
}

void validate_report(const json& report, bool stored) {
    if (!report.is_object()) {
        refuse("invalid diagnostic report");
    }
    for (const auto& [key, value] : report.items()) {
        if (key != "schema" && key != "build" && key != "report_id" && key != "event" &&
            key != "client_state" && key != "attempts") {
            refuse("unexpected diagnostic report field");
        }
    }
    auto text = [&](const char* key) {
        const auto found = report.find(key);
        return found != report.end() && found->is_string() ? found->get<std::string>()
                                                           : std::string();
    };
    if (text("schema") != report_schema) {
        refuse("diagnostic schema");
    }
    const std::string id = text("report_id");
    if (id.size() != report_id_length || !is_lower_hex(id)) {
        refuse("diagnostic identity");
    }
    const std::string build = text("build");
    if (build.empty() || build.size() > longest_build ||
        build.find_first_not_of("0123456789.") != std::string::npos) {
        refuse("diagnostic build");
    }
    const std::string event = text("event");
    if (event != "manifest_failed" && event != "update_failed" &&
        !(stored && event == "pending_retry")) {
        refuse("diagnostic event");
    }
    const std::string state = text("client_state");
    if (state != "clean" && state != "dirty" && state != "unverified") {
        refuse("diagnostic state");
    }
    const auto attempts = report.find("attempts");
    if (attempts == report.end() || !attempts->is_array() || attempts->empty() ||
        attempts->size() > most_report_attempts) {
        refuse("diagnostic attempt count");
    }
    for (const json& attempt : *attempts) {
        checked_attempt(attempt, stored);
    }
    if (compact_json(report).size() > largest_report) {
        refuse("diagnostic report bound");
    }
}

}  // namespace vorn
