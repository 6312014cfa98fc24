#include "model/local_test_config.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* local_test_schema = "vornell.local-test.v1";

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
    return parse_local_test_config(read_file_limited(path, largest_local_test_config), path);
}

LauncherConfig parse_local_test_config(ByteView bytes, const fs::path& path) {
    require_file_limit(bytes.size(), largest_local_test_config);  // refused as a read would be
    const json document = parse_json_bytes(bytes, "parse_json");
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

}  // namespace vorn
