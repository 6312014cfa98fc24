#include "app/local_test.h"

#include <windows.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "app/self_update_check.h"
#include "build_info.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "diagnostics/diagnostics_service.h"
#include "engine/engine_actions.h"
#include "engine/update_engine.h"
#include "net/winhttp_transport.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* local_test_schema = "vornell.local-test.v1";
constexpr std::size_t delivered_after_action = 2;

[[noreturn]] void refuse_fixture() {
    throw LauncherError("qa_config",
                        L"Локальная проверка требует отдельную папку с маркером fixture.");
}

bool is_drive_root(const fs::path& path) {
    return path.relative_path().empty();
}

bool has_fixture_marker(const fs::path& root) {
    if (file_attributes(root / fixture_marker_name) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    if (is_not_found(error)) {
        return false;
    }
    throw_win32_error("qa_config", error);
}

std::wstring text_of(const json& document, const char* key) {
    return to_utf16(document.at(key).get<std::string>());
}

// A folder named with a NUL would reach the Win32 calls cut short there: another folder.
fs::path folder_of(const json& document, const char* key) {
    const std::wstring text = text_of(document, key);
    if (text.find(L'\0') != std::wstring::npos) {
        refuse_fixture();
    }
    return absolute_normal(text);
}

}  // namespace

LauncherConfig load_local_test_config(const fs::path& path) {
    const json document =
        parse_json_bytes(read_file_limited(path, largest_local_test_config), "parse_json");
    const auto schema = document.is_object() ? document.find("schema") : document.end();
    if (schema == document.end() || *schema != local_test_schema) {
        throw LauncherError("qa_config", L"Некорректный файл локальной проверки.");
    }
    LauncherConfig config;
    config.local_test = true;
    const fs::path root = folder_of(document, "root");
    const fs::path cache = folder_of(document, "cache");
    if (is_drive_root(root) || is_drive_root(cache) || !has_fixture_marker(root)) {
        refuse_fixture();
    }
    config.root = root.native();
    config.cache_dir = cache.native();
    config.local_test_config_path = absolute_normal(path).native();
    config.endpoints =
        Endpoints{text_of(document, "manifestUrl"),  text_of(document, "updateBaseUrl"),
                  text_of(document, "guildBaseUrl"), text_of(document, "guildFallbackUrl"),
                  text_of(document, "releaseUrl"),   text_of(document, "releaseFallbackUrl"),
                  text_of(document, "reportUrl"),    text_of(document, "reportFallbackUrl")};
    config.updater_path = updater_path_for(config.root);
    return config;
}

int run_local_test(const LauncherConfig& config, const LaunchOptions& options) {
    if (!config.local_test || !options.has_qa_action) {
        return 2;
    }
    const auto transport = std::make_shared<WinHttpTransport>();
    DiagnosticsService diagnostics(config, transport);
    json observations = json::array();
    std::unique_ptr<UpdateEngine> engine;
    engine = std::make_unique<UpdateEngine>(
        config, transport,
        [&](const UiSnapshot& view) { observations.push_back(snapshot_json(view)); },
        [&](const LauncherError& error, Action action) {
            return diagnostics.create_report(error, action, report_client_state(engine.get()));
        });

    json result = {{"build", launcher_build}, {"local_test", true}};
    int exit_code = 0;
    try {
        const SelfUpdateOutcome self_update =
            check_for_self_update(*engine, options.qa_action, config, transport, diagnostics,
                                  [&](const ViewUpdate& update) {
                                      observations.push_back(snapshot_json(snapshot_of(update)));
                                  });
        if (self_update.started) {
            result["self_update_started"] = true;
            if (!options.qa_result_path.empty()) {
                write_json_file(options.qa_result_path, result);
            }
            return 0;
        }
        UiSnapshot view = run_engine_action(*engine, options.qa_action);
        merge_self_update_failure(view, self_update.failure);
        result["ok"] = true;
        result["phase"] = phase_number(view.phase);
        result["can_play"] = view.can_play;
        result["can_update"] = view.can_update;
        result["client_version"] = view.client_version;
        result["title"] = to_utf8(view.title);
        result["detail"] = to_utf8(view.detail);
        result["hint"] = to_utf8(view.hint);
    } catch (const LauncherError& error) {
        exit_code = 1;
        result["ok"] = false;
        result["stage"] = error.stage;
        result["win32"] = error.win32;
        result["http_status"] = error.http_status;
        result["report_id"] = diagnostics.create_report(error, options.qa_action, "unverified");
    }
    diagnostics.deliver_pending(delivered_after_action);
    result["observations"] = std::move(observations);
    if (!options.qa_result_path.empty()) {
        write_json_file(options.qa_result_path, result);
    }
    return exit_code;
}

}  // namespace vorn
