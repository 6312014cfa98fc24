#include "app/error_snapshot.h"

#include "core/text.h"

namespace vorn {

UiSnapshot make_error_snapshot(const LauncherError& error, const std::string& report_id,
                               const UiSnapshot& base, Busy busy) {
    UiSnapshot view = base;
    view.phase = Phase::error;
    view.title = error.event == "manifest_failed" ? L"Ошибка получения обновлений"
                                                  : L"Проверка не завершена";
    view.detail = error.message.empty() ? L"Не удалось завершить операцию. Повторите попытку."
                                        : error.message;
    std::wstring code;
    try {
        code = to_utf16(report_id);
    } catch (const std::exception&) {
        code.clear();  // a code that cannot be shown is no code
    }
    view.hint = code.empty() ? L"Повторите проверку или обновление." : L"Код отчёта: " + code;
    view.busy = busy == Busy::yes;
    view.can_play = false;
    view.can_update = !view.busy;
    return view;
}

}  // namespace vorn
