#include "core/launcher_error.h"
#include "engine/engine_actions.h"
#include "engine/installed_receipt.h"
#include "engine/manifest_freshness.h"
#include "engine/repair_state.h"
#include "engine/update_engine.h"
#include "net/fetch.h"

namespace vorn {
namespace {

constexpr std::int32_t head_timeout_ms = 5000;
constexpr int head_attempts = 2;

const wchar_t* const ready_title = L"Клиент готов к игре";
const wchar_t* const unfinished_title = L"Требуется завершить обновление";
const wchar_t* const full_check_hint = L"Полная сверка доступна кнопкой «Проверить».";
const wchar_t* const offline_hint = L"Доступность новых обновлений сейчас неизвестна.";
const wchar_t* const offline_fallback = L"Сохранена последняя успешная проверка клиента.";

UiSnapshot finish(UpdateEngine& engine, std::int32_t phase, std::int32_t percent,
                  const std::wstring& title, const std::wstring& detail, const std::wstring& hint) {
    publish_view(engine, phase, percent, title, detail, hint, false);
    return engine.view;
}

// The plain manifest still has the etag and length the receipt recorded.
bool head_matches(UpdateEngine& engine, const InstalledReceipt& receipt) {
    HttpRequest request = make_request(engine.config.manifestUrl, engine.config);
    request.method = "HEAD";
    request.timeout_ms = head_timeout_ms;
    HttpResponse response;
    fetch(response, *engine.transport, request, head_attempts);
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
    return finish(engine, clean ? 8 : 2, 100, clean ? ready_title : unfinished_title,
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
        return finish(engine, 2, 0, unfinished_title, L"Предыдущее обновление было прервано.",
                      L"Нажмите «Обновить» для восстановления.");
    }
    publish_view(engine, 1, 0, L"Проверяем наличие обновлений",
                 L"Файлы игры при запуске не сканируются.", L"", true);

    if (clean0 && is_strong_etag(receipt.etag) && receipt.content_length != 0) {
        try {
            if (head_matches(engine, receipt)) {
                engine.clean.store(!is_repair_required(engine));
                const bool clean = engine.clean.load();
                return finish(engine, clean ? 8 : 2, 100, clean ? ready_title : unfinished_title,
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
            return finish(engine, 8, 100, ready_title, L"Новых обновлений нет.", full_check_hint);
        }
    } catch (const LauncherError& error) {
        if (!clean0 || is_repair_required(engine)) {
            throw;
        }
        engine.clean.store(true);
        return finish(engine, 8, 100, ready_title,
                      saved_diagnostics_text(engine, error, Action::startup, offline_fallback),
                      offline_hint);
    }
    engine.clean.store(false);
    return finish(engine, 2, 0, clean0 ? L"Доступно обновление" : L"Нужна проверка клиента",
                  L"Нажмите «Обновить» для проверки и установки.",
                  L"Кнопка «Проверить» сверяет файлы без установки.");
}

}  // namespace vorn
