#include "engine/actions/action_manifest.h"

#include "engine/client/update_engine.h"
#include "engine/manifest/manifest_fetch.h"

namespace vorn {

const Manifest& load_manifest(UpdateEngine& engine) {
    engine.state.manifest_loaded = false;
    engine.state.manifest = fetch_manifest(engine.client, engine.services, engine.state.view);
    engine.state.manifest_loaded = true;
    return engine.state.manifest;
}

}  // namespace vorn
