#include "engine/update/delta_update.h"

#include <set>

#include "archive/tail_cache.h"
#include "core/text.h"
#include "delta/delta_apply.h"
#include "delta/delta_recovery.h"
#include "delta/payload_cache.h"
#include "engine/client/accepted_updater.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/update/delta_progress_view.h"

namespace vorn {
namespace {

DeltaRootInputs delta_root_inputs(const ClientPlace& client) {
    return DeltaRootInputs{client.root, client.cache_dir, find_accepted_updater(client)};
}

DeltaProgress delta_progress(const ClientPlace& client, EngineView& view) {
    return [&client, &view](std::string_view event, const std::string& path, std::uint64_t done,
                            std::uint64_t total) {
        delta_progress_view(client, view, event, to_utf16(path), done, total);
    };
}

}  // namespace

void recover_interrupted_delta(const ClientPlace& client, EngineView& view) {
    recover_delta(delta_root_inputs(client), delta_progress(client, view));
}

void apply_delta_package(const ClientPlace& client, const EngineServices& services,
                         EngineView& view, const Manifest& manifest, const DeltaManifest& delta,
                         const Overrides& overrides, const KnownStates& known) {
    const DeltaRootInputs inputs = delta_root_inputs(client);
    if (plan_delta(inputs, delta, overrides, delta_progress(client, view), known).up_to_date) {
        return;
    }
    const DeltaSource source = delta_source(client, services, view);
    const PayloadProvider payloads = [&](const delta::Payload& payload) {
        return cached_payload(source, manifest, payload);
    };
    apply_delta(inputs, delta, payloads, delta_progress(client, view), overrides, known);
}

void keep_only_package_caches(const ClientPlace& client, const DeltaManifest* package) noexcept {
    keep_only_package_payloads(client.cache_dir, package);
    keep_only_package_tails(client.cache_dir, package);
}

std::vector<ManifestFile> files_outside_package(const std::vector<ManifestFile>& mismatches,
                                                const DeltaManifest& delta) {
    std::set<std::wstring> covered;
    for (const DeltaEntry& entry : delta.entries) {
        covered.insert(manifest_path_identity(entry.path));
    }
    std::vector<ManifestFile> outside;
    for (const ManifestFile& file : mismatches) {
        if (!covered.contains(manifest_path_identity(file.path))) {
            outside.push_back(file);
        }
    }
    return outside;
}

}  // namespace vorn
