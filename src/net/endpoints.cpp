#include "net/endpoints.h"

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
    endpoints.manifestUrl = https(update_host, L"/upd/manifest.json");
    endpoints.updateBaseUrl = https(update_host, L"/upd/");
    endpoints.guildBaseUrl = https(update_host, L"/lk_server/klan/");
    endpoints.guildFallbackUrl = https(update_host2, L"/lk_server/klan/");
    endpoints.releaseUrl = https(web_host, L"/downloads/launcher-release-v1.json");
    endpoints.releaseFallbackUrl = https(update_host, L"/launcher-diagnostics/v1/release");
    endpoints.reportUrl = https(web_host, L"/launcher-diagnostics/v1/report");
    endpoints.reportFallbackUrl = https(update_host, L"/launcher-diagnostics/v1/report");
    return endpoints;
}

}  // namespace vorn
