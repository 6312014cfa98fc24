#include <gtest/gtest.h>

#include <windows.h>

#include "core/client_key.h"
#include "core/text.h"
#include "model/launcher_config.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        had_value_ = length > 0 && length < 32768;
        if (had_value_) {
            old_.assign(buffer, length);
        }
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_value_ ? old_.c_str() : nullptr); }

  private:
    const wchar_t* name_;
    std::wstring old_;
    bool had_value_ = false;
};

std::wstring module_folder() {
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/"));
}

TEST(DefaultConfig, PathsFollowTheLauncherFolderAndLocalAppData) {
    ScopedEnvironment env(L"LOCALAPPDATA", L"C:\\Users\\Игрок\\AppData\\Local");
    const LauncherConfig config = default_config();
    EXPECT_EQ(config.root, module_folder());
    EXPECT_EQ(config.cache_dir, L"C:\\Users\\Игрок\\AppData\\Local\\Vornell\\Launcher\\Clients\\" +
                                    to_utf16(client_key(config.root)));
    EXPECT_EQ(config.updater_path, config.root + L"\\element\\VornellUpdater.exe");
    EXPECT_FALSE(config.local_test);
    EXPECT_TRUE(config.local_test_config_path.empty());
    EXPECT_TRUE(config.health_token.empty());
}

TEST(DefaultConfig, EndpointsAreHttpsWithTheirPaths) {
    const LauncherConfig config = default_config();
    const std::pair<const std::wstring*, const wchar_t*> endpoints[] = {
        {&config.endpoints.manifest_url, L"/upd/manifest.json"},
        {&config.endpoints.update_base_url, L"/upd/"},
        {&config.endpoints.guild_base_url, L"/lk_server/klan/"},
        {&config.endpoints.guild_fallback_url, L"/lk_server/klan/"},
        {&config.endpoints.release_url, L"/downloads/launcher-release-v1.json"},
        {&config.endpoints.release_fallback_url, L"/launcher-diagnostics/v1/release"},
        {&config.endpoints.report_url, L"/launcher-diagnostics/v1/report"},
        {&config.endpoints.report_fallback_url, L"/launcher-diagnostics/v1/report"},
    };
    for (const auto& [url, path] : endpoints) {
        EXPECT_TRUE(url->starts_with(L"https://")) << to_utf8(*url);
        EXPECT_TRUE(url->ends_with(path)) << to_utf8(*url);
        // Host only: no port, no user information.
        const std::wstring host = url->substr(8, url->size() - 8 - std::wcslen(path));
        EXPECT_EQ(host.find_first_of(L":@/"), std::wstring::npos) << to_utf8(*url);
    }
    EXPECT_EQ(config.endpoints.manifest_url, config.endpoints.update_base_url + L"manifest.json");
    EXPECT_NE(config.endpoints.guild_base_url, config.endpoints.guild_fallback_url);
}

TEST(DefaultConfig, MissingLocalAppDataIsRefused) {
    ScopedEnvironment env(L"LOCALAPPDATA", nullptr);
    VORN_EXPECT_ERROR(default_config(), "local_cache", L"Не удалось определить LOCALAPPDATA.");
}

TEST(DefaultConfig, LauncherFolderKeepsTheRootOfItsDrive) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"D:\\VornellLauncher.exe", L"D:\\"},
        {L"D:\\Games\\Vornell\\VornellLauncher.exe", L"D:\\Games\\Vornell"},
        {L"\\\\?\\D:\\VornellLauncher.exe", L"\\\\?\\D:\\"},
        {L"\\\\server\\share\\VornellLauncher.exe", L"\\\\server\\share"},
        {L"VornellLauncher.exe", L""},
    };
    for (const auto& [module, folder] : rows) {
        EXPECT_EQ(folder_of(module), folder) << to_utf8(module);
    }
    // A launcher in a drive root serves that root wherever it was started from: the key,
    // the service folder and the updater do not follow the current folder.
    wchar_t previous[32768];
    GetCurrentDirectoryW(32768, previous);
    const std::wstring root = folder_of(L"Z:\\VornellLauncher.exe");
    SetCurrentDirectoryW(L"Z:\\tmp");
    const std::string key_from_tmp = client_key(root);
    SetCurrentDirectoryW(L"Z:\\");
    EXPECT_EQ(client_key(root), key_from_tmp);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(updater_path_for(root), L"Z:\\element\\VornellUpdater.exe");
}

TEST(DefaultConfig, CacheFolderJoinsWithoutDoubledSeparator) {
    EXPECT_EQ(client_cache_dir(L"C:\\Data\\", L"C:\\Game"),
              L"C:\\Data\\Vornell\\Launcher\\Clients\\" + to_utf16(client_key(L"C:\\Game")));
    EXPECT_EQ(updater_path_for(L"C:\\Game"), L"C:\\Game\\element\\VornellUpdater.exe");
}

}  // namespace
}  // namespace vorn
