// The start-up configuration, built once and copied into every service.
#pragma once

#include <string>
#include <vector>

#include "core/feed_key.h"
#include "core/url_trust.h"
#include "model/endpoints.h"

namespace vorn {

struct LauncherConfig {
    std::wstring root;       // the client folder
    std::wstring cache_dir;  // per-client service folder under LOCALAPPDATA
    std::wstring local_test_config_path;
    bool local_test = false;
    Endpoints endpoints;
    std::wstring updater_path;  // root\element\VornellUpdater.exe
    std::string health_token;   // UTF-8
    // The project's feed keys as the build carries them; none: documents are read unsigned.
    std::vector<FeedKey> feed_keys;
    // SHA-256 of the project's code-signing public keys as the build carries them; none:
    // downloaded programs pass the plain signature check.
    std::vector<std::string> signer_pins;

    // The local test mode talks to loopback servers only.
    UrlTrust url_trust() const {
        return local_test ? UrlTrust::loopback_only : UrlTrust::project_hosts;
    }
};

// The folder holding a file: "D:\\Games\\Vornell" for "D:\\Games\\Vornell\\a.exe", and "D:\\"
// (never the drive-relative "D:") for a file in a drive root. Empty without a separator.
std::wstring folder_of(const std::wstring& file_path);

// The folder of the launcher's own executable. Throws LauncherError "module_path".
std::wstring launcher_folder();

// Paths of the default run (the launcher's own folder, LOCALAPPDATA) and the built-in
// endpoints. Creates no folder. Throws LauncherError ("module_path", "local_cache").
LauncherConfig default_config();

// LOCALAPPDATA\Vornell\Launcher\Clients\<client_key of root>.
std::wstring client_cache_dir(const std::wstring& local_app_data, const std::wstring& root);
// The same under this user's LOCALAPPDATA: the per-client state folder of a default run.
// Throws LauncherError ("local_cache").
std::wstring default_cache_dir(const std::wstring& root);
std::wstring updater_path_for(const std::wstring& root);

}  // namespace vorn
