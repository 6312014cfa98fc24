#include "engine/manifest_fetch.h"

#include "core/launcher_error.h"
#include "engine/manifest_freshness.h"
#include "engine/manifest_parse.h"
#include "engine/subsystem_inputs.h"
#include "engine/update_engine.h"
#include "net/fetch.h"
#include "net/feed_trust.h"

namespace vorn {
namespace {

// The signature covers the plain document's bytes, so the compressed copy is checked
// after it is inflated, against the same signature. Nothing is parsed before the check.
const Manifest& parse_signed_manifest(UpdateEngine& engine, const HttpResponse& response) {
    if (response.status == 200) {
        require_signed_document(feed_trust(engine), *engine.transport, engine.config.url_trust(),
                                engine.config.endpoints.manifest_url, SignedKind::manifest,
                                response.body);
    }
    return parse_manifest(engine, response);
}

}  // namespace

const Manifest& fetch_manifest(UpdateEngine& engine) {
    publish_view(engine, {.phase = Phase::checking, .title = L"Получаем сведения об обновлении"});
    if (const auto compressed_url = compressed_manifest_url(engine.config.endpoints.manifest_url)) {
        try {
            return parse_signed_manifest(engine,
                                         fetch_compressed_manifest(engine, *compressed_url));
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
        return parse_signed_manifest(engine, response);
    } catch (LauncherError& error) {
        error.event = "manifest_failed";
        throw;
    }
}

}  // namespace vorn
