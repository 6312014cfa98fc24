#include "engine/actions/verification_plan.h"

#include "delta/delta_fetch.h"
#include "engine/actions/action_manifest.h"
#include "engine/client/repair_state.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/client/update_engine.h"
#include "engine/update/verification.h"

namespace vorn {

VerificationPlan fetch_verification_plan(UpdateEngine& engine) {
    VerificationPlan plan;
    plan.manifest = load_manifest(engine);
    if (plan.manifest.delta) {
        plan.delta = fetch_delta_manifest(
            delta_source(engine.client, engine.services, engine.state.view), plan.manifest);
    }
    return plan;
}

void verify_against_plan(const ClientPlace& client, EngineView& view, VerificationPlan& plan) {
    mark_repair_required(client, view);
    plan.overrides =
        plan.delta ? updater_overrides(client, view, plan.manifest, *plan.delta) : Overrides{};
    plan.mismatches = verify_client(client, view, plan.manifest, plan.overrides);
}

VerificationPlan prepare_verification(UpdateEngine& engine) {
    VerificationPlan plan = fetch_verification_plan(engine);
    verify_against_plan(engine.client, engine.state.view, plan);
    return plan;
}

}  // namespace vorn
