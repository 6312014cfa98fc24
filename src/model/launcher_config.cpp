#include "model/launcher_config.h"

#include <windows.h>

#include <vector>

#include "core/client_key.h"
#include "core/launcher_error.h"
#include "core/system/module_path.h"
#include "core/text.h"

namespace vorn {
namespace {

constexpr DWORD path_buffer_size = 32768;

std::wstring join(const std::wstring& base, const std::wstring& name) {
    if (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) {
        return base + name;
    }
    return base + L"\\" + name;
}

}  // namespace

std::wstring folder_of(const std::wstring& file_path) {
    const std::size_t separator = file_path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return std::wstring();
    }
    std::wstring folder = file_path.substr(0, separator);
    // "D:" alone names the current folder of drive D, not its root: keep the separator.
    if (folder.empty() || folder.back() == L':') {
        folder.push_back(L'\\');
    }
    return folder;
}

std::wstring client_cache_dir(const std::wstring& local_app_data, const std::wstring& root) {
    return join(local_app_data, L"Vornell\\Launcher\\Clients\\" + to_utf16(client_key(root)));
}

std::wstring updater_path_for(const std::wstring& root) {
    return join(root, L"element\\VornellUpdater.exe");
}

std::wstring launcher_folder() {
    return folder_of(running_program_path().native());
}

std::wstring default_cache_dir(const std::wstring& root) {
    std::vector<wchar_t> buffer(path_buffer_size);
    const DWORD data_length =
        GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), path_buffer_size);
    if (data_length == 0 || data_length > path_buffer_size - 2) {
        throw LauncherError("local_cache", L"Не удалось определить LOCALAPPDATA.");
    }
    return client_cache_dir(std::wstring(buffer.data(), data_length), root);
}

LauncherConfig default_config() {
    LauncherConfig config;
    config.root = launcher_folder();
    config.cache_dir = default_cache_dir(config.root);
    config.updater_path = updater_path_for(config.root);
    config.endpoints = default_endpoints();
    return config;
}

}  // namespace vorn
