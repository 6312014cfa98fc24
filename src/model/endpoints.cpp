#include "model/endpoints.h"

#include "deployment_config.h"

namespace vorn {
namespace {

std::wstring https(const wchar_t* host, const wchar_t* path) {
    return std::wstring(L"https://") + host + path;
}

}  // namespace

Endpoints default_endpoints() {
    using namespace deployment;
    Endpoints endpoints;
    endpoints.manifest_url = https(update_host, L"/upd/manifest.json");
    endpoints.update_base_url = https(update_host, L"/upd/");
    endpoints.guild_base_url = https(update_host, L"/lk_server/klan/");
    endpoints.guild_fallback_url = https(update_host2, L"/lk_server/klan/");
    endpoints.release_url = https(web_host, L"/downloads/launcher-release-v1.json");
    endpoints.release_fallback_url = https(update_host, L"/launcher-diagnostics/v1/release");
    endpoints.report_url = https(web_host, L"/launcher-diagnostics/v1/report");
    endpoints.report_fallback_url = https(update_host, L"/launcher-diagnostics/v1/report");
    return endpoints;
}

std::wstring launcher_download_url() {
    return https(deployment::web_host, L"/downloads/VornellLauncher.exe");
}

std::wstring updater_download_url() {
    return https(deployment::web_host, L"/downloads/VornellUpdater.exe");
}

}  // namespace vorn
