#include "engine/actions/action_errors.h"

#include "core/hex.h"
#include "core/text.h"
#include "engine/client/update_engine.h"

namespace vorn {
namespace {

constexpr std::size_t longest_report_code = 32;

void attach_manifest_count(const ActionState& state, LauncherError& error) {
    if (state.manifest_loaded) {
        error.file_count = static_cast<std::uint32_t>(state.manifest.files.size());
        error.parse_ok = true;
    }
}

}  // namespace

LauncherError local_io_error(std::uint32_t code) {
    return LauncherError("local_io",
                         L"Не удалось завершить действие. Проверьте доступ к папке клиента.", code);
}

void prepare_error_for_user(const ActionState& state, LauncherError& error) {
    if (error.stage == "delta_wrong_base") {
        const std::wstring archive = error.archive_path.empty()
                                         ? L"Архивы клиента"
                                         : L"Не подходит архив " + to_utf16(error.archive_path);
        error.message =
            archive +
            L". Исходная версия отличается от пакета обновления. Нужен совместимый пакет.";
    }
    attach_manifest_count(state, error);
}

std::wstring saved_diagnostics_text(const UpdateEngine& engine, const LauncherError& error,
                                    Action action, const std::wstring& fallback) {
    if (!engine.services.report) {
        return fallback;
    }
    try {
        LauncherError reported = error;
        attach_manifest_count(engine.state, reported);
        const std::string code = engine.services.report(reported, action);
        if (!code.empty() && code.size() <= longest_report_code && is_lower_hex(code)) {
            return L"Диагностика сохранена. Код: " + to_utf16(code);
        }
    } catch (...) {
        // A failing report must not hide the state the user is shown.
    }
    return fallback;
}

}  // namespace vorn
