#include "engine/actions/check_action.h"

#include <string>

#include "engine/actions/verification_plan.h"
#include "engine/client/update_engine.h"
#include "engine/manifest/installed_receipt.h"

namespace vorn {

UiSnapshot run_check_action(UpdateEngine& engine) {
    EngineView& view = engine.state.view;
    const VerificationPlan plan = prepare_verification(engine);
    if (plan.mismatches.empty()) {
        write_installed_receipt(engine.client, view, plan.manifest);
        publish_view(view, {.phase = Phase::ready,
                            .percent = 100,
                            .title = L"Проверка завершена",
                            .detail = L"Все файлы клиента прошли проверку.",
                            .hint = L"Игровые файлы не изменялись.",
                            .busy = Busy::no});
        return view.snapshot;
    }
    publish_view(view, {.phase = Phase::needs_action,
                        .percent = 100,
                        .title = L"Нужно обновление клиента",
                        .detail = L"Требуют восстановления: " +
                                  std::to_wstring(plan.mismatches.size()) + L" файлов.",
                        .hint = L"Нажмите «Обновить» для установки.",
                        .busy = Busy::no});
    return view.snapshot;
}

}  // namespace vorn
