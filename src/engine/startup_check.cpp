#include "engine/startup_check.h"

#include "core/launcher_error.h"
#include "engine/engine_actions.h"
#include "engine/installed_receipt.h"
#include "engine/manifest_fetch.h"
#include "engine/manifest_freshness.h"
#include "engine/repair_state.h"
#include "engine/update_engine.h"
#include "net/fetch.h"

namespace vorn {
namespace {

constexpr int head_attempts = 2;

const wchar_t* const ready_title = L"Клиент готов к игре";
const wchar_t* const unfinished_title = L"Требуется завершить обновление";
const wchar_t* const full_check_hint = L"Полная сверка доступна кнопкой «Проверить».";
const wchar_t* const offline_hint = L"Доступность новых обновлений сейчас неизвестна.";
const wchar_t* const offline_fallback = L"Сохранена последняя успешная проверка клиента.";

UiSnapshot finish(UpdateEngine& engine, Phase phase, std::int32_t percent,
                  const std::wstring& title, const std::wstring& detail, const std::wstring& hint) {
    publish_view(engine, {.phase = phase,
                          .percent = percent,
                          .title = title,
                          .detail = detail,
                          .hint = hint,
                          .busy = Busy::no});
    return engine.view;
}

// The plain manifest still has the etag and length the receipt recorded.
bool head_matches(UpdateEngine& engine, const InstalledReceipt& receipt) {
    const HttpResponse response = head_manifest(engine, head_attempts);
    const auto etag = response.headers.find("etag");
    const auto length = response.headers.find("content-length");
    return response.status == 200 && etag != response.headers.end() &&
           etag->second == receipt.etag && length != response.headers.end() &&
           length->second == std::to_string(receipt.content_length);
}

// A client verified before stays playable while the server cannot be asked.
UiSnapshot offline_result(UpdateEngine& engine, const LauncherError& error) {
    engine.clean.store(!is_repair_required(engine));
    const bool clean = engine.clean.load();
    return finish(engine, clean ? Phase::ready : Phase::needs_action, 100,
                  clean ? ready_title : unfinished_title,
                  saved_diagnostics_text(engine, error, Action::startup, offline_fallback),
                  offline_hint);
}

}  // namespace

UiSnapshot startup_check(UpdateEngine& engine) {
    const InstalledReceipt receipt = read_installed_receipt(engine);
    const bool clean0 =
        receipt.valid && !is_repair_required(engine) && game_executable_present(engine);
    engine.clean.store(clean0);
    engine.view.client_version = receipt.version;
    if (is_update_interrupted(engine)) {
        return finish(engine, Phase::needs_action, 0, unfinished_title,
                      L"Предыдущее обновление было прервано.",
                      L"Нажмите «Обновить» для восстановления.");
    }
    publish_view(engine, {.phase = Phase::checking,
                          .title = L"Проверяем наличие обновлений",
                          .detail = L"Файлы игры при запуске не сканируются."});

    if (clean0 && is_strong_etag(receipt.etag) && receipt.content_length != 0) {
        try {
            if (head_matches(engine, receipt)) {
                engine.clean.store(!is_repair_required(engine));
                const bool clean = engine.clean.load();
                return finish(engine, clean ? Phase::ready : Phase::needs_action, 100,
                              clean ? ready_title : unfinished_title,
                              clean ? L"Новых обновлений нет."
                                    : L"Состояние клиента изменилось во время проверки.",
                              full_check_hint);
            }
        } catch (LauncherError& error) {
            error.event = "manifest_failed";
            return offline_result(engine, error);
        }
    }

    try {
        const Manifest& manifest = fetch_manifest(engine);
        engine.view.client_version = manifest.version;
        if (clean0 && !receipt.legacy && receipt.manifest_key == manifest.key) {
            write_installed_receipt(engine, manifest);
            return finish(engine, Phase::ready, 100, ready_title, L"Новых обновлений нет.",
                          full_check_hint);
        }
    } catch (const LauncherError& error) {
        if (!clean0 || is_repair_required(engine)) {
            throw;
        }
        engine.clean.store(true);
        return finish(engine, Phase::ready, 100, ready_title,
                      saved_diagnostics_text(engine, error, Action::startup, offline_fallback),
                      offline_hint);
    }
    engine.clean.store(false);
    return finish(engine, Phase::needs_action, 0,
                  clean0 ? L"Доступно обновление" : L"Нужна проверка клиента",
                  L"Нажмите «Обновить» для проверки и установки.",
                  L"Кнопка «Проверить» сверяет файлы без установки.");
}

}  // namespace vorn
