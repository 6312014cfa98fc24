#include "engine/actions/startup_check.h"

#include <optional>

#include "core/launcher_error.h"
#include "engine/actions/action_errors.h"
#include "engine/actions/action_manifest.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/client/update_engine.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/manifest/manifest_freshness.h"
#include "net/fetch.h"

namespace vorn {
namespace {

constexpr int head_attempts = 2;

const wchar_t* const ready_title = L"Клиент готов к игре";
const wchar_t* const unfinished_title = L"Требуется завершить обновление";
const wchar_t* const full_check_hint = L"Полная сверка доступна кнопкой «Проверить».";
const wchar_t* const offline_hint = L"Доступность новых обновлений сейчас неизвестна.";
const wchar_t* const offline_fallback = L"Сохранена последняя успешная проверка клиента.";

UiSnapshot finish(EngineView& view, Phase phase, std::int32_t percent, const std::wstring& title,
                  const std::wstring& detail, const std::wstring& hint) {
    publish_view(view, {.phase = phase,
                        .percent = percent,
                        .title = title,
                        .detail = detail,
                        .hint = hint,
                        .busy = Busy::no});
    return view.snapshot;
}

// The plain manifest still has the etag and length the receipt recorded.
bool head_matches(const EngineServices& services, const InstalledReceipt& receipt) {
    const HttpResponse response = head_manifest(services, head_attempts);
    const auto etag = response.headers.find("etag");
    const auto length = response.headers.find("content-length");
    return response.status == 200 && etag != response.headers.end() &&
           etag->second == receipt.etag && length != response.headers.end() &&
           length->second == std::to_string(receipt.content_length);
}

// A client verified before stays playable while the server cannot be asked.
UiSnapshot offline_result(UpdateEngine& engine, const LauncherError& error) {
    EngineView& view = engine.state.view;
    view.clean.store(!is_repair_required(engine.client));
    const bool clean = view.clean.load();
    return finish(view, clean ? Phase::ready : Phase::needs_action, 100,
                  clean ? ready_title : unfinished_title,
                  saved_diagnostics_text(engine, error, Action::startup, offline_fallback),
                  offline_hint);
}

// The cheap answer: the plain manifest is still the one the receipt recorded. None when
// it is not; a server that cannot be asked gives the offline answer.
std::optional<UiSnapshot> answer_from_head(UpdateEngine& engine, const InstalledReceipt& receipt) {
    EngineView& view = engine.state.view;
    try {
        if (!head_matches(engine.services, receipt)) {
            return std::nullopt;
        }
    } catch (LauncherError& error) {
        error.event = "manifest_failed";
        return offline_result(engine, error);
    }
    view.clean.store(!is_repair_required(engine.client));
    const bool clean = view.clean.load();
    return finish(
        view, clean ? Phase::ready : Phase::needs_action, 100,
        clean ? ready_title : unfinished_title,
        clean ? L"Новых обновлений нет." : L"Состояние клиента изменилось во время проверки.",
        full_check_hint);
}

// The answer from the manifest itself: the same manifest key keeps a verified client
// ready; a manifest that cannot be fetched keeps it playable.
UiSnapshot answer_from_manifest(UpdateEngine& engine, const InstalledReceipt& receipt,
                                bool clean0) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    try {
        const Manifest& manifest = load_manifest(engine);
        view.snapshot.client_version = manifest.version;
        if (clean0 && !receipt.legacy && receipt.manifest_key == manifest.key) {
            write_installed_receipt(client, view, manifest);
            return finish(view, Phase::ready, 100, ready_title, L"Новых обновлений нет.",
                          full_check_hint);
        }
    } catch (const LauncherError& error) {
        if (!clean0 || is_repair_required(client)) {
            throw;
        }
        view.clean.store(true);
        return finish(view, Phase::ready, 100, ready_title,
                      saved_diagnostics_text(engine, error, Action::startup, offline_fallback),
                      offline_hint);
    }
    view.clean.store(false);
    return finish(view, Phase::needs_action, 0,
                  clean0 ? L"Доступно обновление" : L"Нужна проверка клиента",
                  L"Нажмите «Обновить» для проверки и установки.",
                  L"Кнопка «Проверить» сверяет файлы без установки.");
}

}  // namespace

UiSnapshot startup_check(UpdateEngine& engine) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    const InstalledReceipt receipt = read_installed_receipt(client);
    const bool clean0 =
        receipt.valid && !is_repair_required(client) && game_executable_present(client);
    view.clean.store(clean0);
    view.snapshot.client_version = receipt.version;
    if (is_update_interrupted(client)) {
        return finish(view, Phase::needs_action, 0, unfinished_title,
                      L"Предыдущее обновление было прервано.",
                      L"Нажмите «Обновить» для восстановления.");
    }
    publish_view(view, {.phase = Phase::checking,
                        .title = L"Проверяем наличие обновлений",
                        .detail = L"Файлы игры при запуске не сканируются."});
    if (clean0 && is_strong_etag(receipt.etag) && receipt.content_length != 0) {
        if (auto answer = answer_from_head(engine, receipt)) {
            return *answer;
        }
    }
    return answer_from_manifest(engine, receipt, clean0);
}

}  // namespace vorn
