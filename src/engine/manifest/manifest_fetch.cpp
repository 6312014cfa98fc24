#include "engine/manifest/manifest_fetch.h"

#include "core/launcher_error.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/manifest/manifest_freshness.h"
#include "engine/manifest/manifest_parse.h"
#include "net/feed_trust.h"
#include "net/fetch.h"

namespace vorn {
namespace {

// The signature covers the plain document's bytes, so the compressed copy is checked
// after it is inflated, against the same signature. Nothing is parsed before the check.
Manifest parse_signed_manifest(const ClientPlace& client, const EngineServices& services,
                               const HttpResponse& response) {
    if (response.status == 200) {
        require_signed_document(feed_trust(client, services), *services.transport,
                                services.config.url_trust(), services.config.endpoints.manifest_url,
                                SignedKind::manifest, response.body);
    }
    return parse_manifest(client, services, response);
}

}  // namespace

Manifest fetch_manifest(const ClientPlace& client, const EngineServices& services,
                        EngineView& view) {
    publish_view(view, {.phase = Phase::checking, .title = L"Получаем сведения об обновлении"});
    if (const auto compressed_url =
            compressed_manifest_url(services.config.endpoints.manifest_url)) {
        try {
            return parse_signed_manifest(client, services,
                                         fetch_compressed_manifest(services, *compressed_url));
        } catch (const LauncherError&) {
            // The compressed copy only saves bytes: any doubt about it sends the fetch
            // down the plain road, and the user never sees why.
        }
    }
    try {
        HttpResponse response;
        fetch(response, *services.transport,
              make_request(services.config.endpoints.manifest_url, services.config.url_trust(),
                           largest_manifest),
              2);
        return parse_signed_manifest(client, services, response);
    } catch (LauncherError& error) {
        error.event = "manifest_failed";
        throw;
    }
}

}  // namespace vorn
