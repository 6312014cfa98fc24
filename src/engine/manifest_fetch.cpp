#include "engine/manifest_fetch.h"

#include "core/launcher_error.h"
#include "engine/manifest_freshness.h"
#include "engine/manifest_parse.h"
#include "engine/update_engine.h"
#include "net/fetch.h"

namespace vorn {

const Manifest& fetch_manifest(UpdateEngine& engine) {
    publish_view(engine, {.phase = Phase::checking, .title = L"Получаем сведения об обновлении"});
    if (const auto compressed_url = compressed_manifest_url(engine.config.endpoints.manifest_url)) {
        try {
            return parse_manifest(engine, fetch_compressed_manifest(engine, *compressed_url));
        } catch (const LauncherError&) {
            // The compressed copy only saves bytes: any doubt about it sends the fetch
            // down the plain road, and the user never sees why.
            engine.manifest_loaded = false;
        }
    }
    try {
        HttpResponse response;
        fetch(response, *engine.transport,
              make_request(engine.config.endpoints.manifest_url, engine.config.url_trust(),
                           largest_manifest),
              2);
        return parse_manifest(engine, response);
    } catch (LauncherError& error) {
        error.event = "manifest_failed";
        throw;
    }
}

}  // namespace vorn
