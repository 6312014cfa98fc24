#include "selfupdate/self_update.h"

#include <windows.h>

#include <mutex>
#include <optional>

#include "core/file_system.h"
#include "core/sha256.h"
#include "core/system/module_path.h"
#include "net/feed_trust.h"
#include "net/fetch.h"
#include "selfupdate/code_signature.h"
#include "selfupdate/hand_over.h"
#include "selfupdate/handover_protocol.h"
#include "selfupdate/health_file.h"
#include "selfupdate/release_file.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::mutex self_update_lock;

constexpr const wchar_t* view_title = L"Обновление лаунчера";

void show(const SelfUpdateRun& run, Phase phase, std::int32_t percent, const std::wstring& detail,
          const std::wstring& hint = {}) {
    if (run.progress) {
        run.progress(
            {.phase = phase,
             .percent = percent,
             .title = phase == Phase::error ? L"Обновление лаунчера не выполнено" : view_title,
             .detail = detail,
             .hint = hint,
             .busy = phase == Phase::error ? Busy::no : Busy::yes});
    }
}

struct PublishedDescriptor {
    HttpResponse response;
    std::wstring address;  // its signature lies beside it
};

// The first address that answers 200. None when every address answers 404 or 410 (no
// descriptor is published); the first other failure otherwise.
std::optional<PublishedDescriptor> fetch_descriptor(const SelfUpdateRun& run) {
    std::optional<LauncherError> remembered;
    for (const std::wstring* address : {&run.release_url, &run.release_fallback_url}) {
        try {
            require_trusted_url(*address, run.rules.trust);
            HttpResponse response;
            fetch(response, *run.context.transport,
                  make_request(*address, run.rules.trust, largest_release_descriptor), 1);
            if (response.status == 200) {
                return PublishedDescriptor{std::move(response), *address};
            }
            if (!remembered) {
                remembered = LauncherError("self_update_descriptor",
                                           L"Не удалось получить описание обновления лаунчера.", 0,
                                           response.status);
            }
        } catch (const LauncherError& error) {
            if (error.http_status != 404 && error.http_status != 410 && !remembered) {
                remembered = error;
            }
        }
    }
    if (remembered) {
        throw *remembered;
    }
    return std::nullopt;
}

// A blocked digest left by a hand-over whose holder was killed (the launcher during the
// hand-over, the updater during its run) is stale: the build never got its chance, so it is
// offered again. One kept on purpose, or held by a live run, still counts.
bool blocked(const fs::path& state_dir, const std::string& sha256) {
    const fs::path file = state_dir / blocked_digest_file_name;
    if (read_digest_file(file) != sha256) {
        return false;
    }
    if (run_holder(state_dir) != RunHolder::ended) {
        return true;
    }
    if (!DeleteFileW(long_path(file).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return true;  // still there: offering the build again could start a second hand-over
    }
    forget_run_holder(state_dir);
    return false;
}

bool already_refused(const SelfUpdateRun& run, const std::string& sha256) {
    ensure_service_directory(run.context.state_dir);
    return read_digest_file(run.context.state_dir / failed_digest_file_name) == sha256 ||
           blocked(run.context.state_dir, sha256);
}

fs::path stage_new_launcher(const SelfUpdateRun& run, const ReleaseDescriptor& descriptor) {
    const fs::path staged = staged_launcher_path(run.context, descriptor.launcher.sha256);
    if (!is_plain_file(staged) || sha256_file(staged) != descriptor.launcher.sha256) {
        const Bytes bytes = download_release_file(*run.context.transport, run.rules.trust,
                                                  descriptor.launcher, false);
        write_file_atomic(staged, bytes);
    }
    if (sha256_file(staged) != descriptor.launcher.sha256 ||
        !is_trusted_program(staged, run.context.signer_pins)) {
        throw LauncherError("self_update_signature",
                            L"Сохранённое обновление или его цифровая подпись не прошли проверку.");
    }
    return staged;
}

void require_local_test_config(const SelfUpdateRun& run) {
    if (run.rules.local_test &&
        (!run.context.local_test_config || !is_plain_file(*run.context.local_test_config))) {
        throw LauncherError("qa_spawn_blocked",
                            L"Локальная проверка запрещает запуск нового "
                            L"лаунчера без loopback-конфигурации.");
    }
}

// A new build whose proof was cut short (the updater killed, the session ended) and that
// now runs again puts the previous build back through the updater, as a failed proof does.
bool roll_back_unproven_build(const SelfUpdateRun& run) {
    const fs::path& state_dir = run.context.state_dir;
    const auto unproven = read_unproven_build(state_dir);
    if (!unproven || run_holder(state_dir) == RunHolder::live) {
        return false;
    }
    const auto health = read_health_file(state_dir);
    if (sha256_file(running_program_path()) != unproven->sha256 ||
        (health && health->sha256 == unproven->sha256)) {
        // What runs now is not that build, or it did prove itself before the updater could
        // say so: nothing to undo.
        forget_unproven_build(state_dir);
        return false;
    }
    require_local_test_config(run);
    show(run, Phase::installing, 35,
         L"Новая версия лаунчера не подтвердила запуск. Возвращаем прежнюю версию…");
    return hand_over_restore(run.context, accepted_present_updater(run.context), unproven->sha256);
}

bool update_to_published_build(const SelfUpdateRun& run) {
    if (roll_back_unproven_build(run)) {
        return true;
    }
    const std::optional<PublishedDescriptor> published = fetch_descriptor(run);
    if (!published) {
        return false;
    }
    require_signed_document(run.feed_trust, *run.context.transport, run.rules.trust,
                            published->address, SignedKind::release, published->response.body);
    const ReleaseDescriptor descriptor = fetch_release_descriptor(published->response, run.rules);
    if (!is_newer_build(descriptor.launcher.build, run.running_build)) {
        // The same build: keep its updater component current when it is the pinned one.
        if (descriptor.launcher.build == run.running_build && descriptor.updater &&
            descriptor.updater->sha256 == run.context.pinned_updater_sha256) {
            ensure_updater_component(run.context, descriptor);
        }
        return false;
    }
    if (already_refused(run, descriptor.launcher.sha256)) {
        return false;
    }
    require_trusted_updater_entry(run.context, descriptor, !run.feed_trust.keys.empty());
    show(run, Phase::checking, 5, L"Проверяем отдельный компонент обновления…");
    ensure_updater_component(run.context, descriptor);
    show(run, Phase::downloading, 15, L"Загружаем и проверяем новую версию…");
    const fs::path staged = stage_new_launcher(run, descriptor);
    require_local_test_config(run);
    hand_over(run.context, descriptor, staged);
    show(run, Phase::installing, 35, L"Открылось окно обновления. Лаунчер сейчас завершит работу.");
    return true;
}

void report_failure(const SelfUpdateRun& run, const LauncherError& error) noexcept {
    std::string id;
    try {
        id = run.report ? run.report(error) : std::string();
    } catch (...) {
        // A report that cannot be stored must not hide the failure from the user.
    }
    try {
        show(run, Phase::error, 0, error.message,
             id.empty() ? std::wstring() : L"Код отчёта: " + std::wstring(id.begin(), id.end()));
    } catch (...) {
    }
}

}  // namespace

fs::path staged_launcher_path(const SelfUpdateContext& context, const std::string& sha256) {
    return context.client_root / ("VornellLauncher.update." + sha256 + ".exe");
}

bool run_self_update(const SelfUpdateRun& run) noexcept {
    const std::unique_lock hold(self_update_lock, std::try_to_lock);
    if (!hold.owns_lock() || !run.context.transport) {
        return false;
    }
    try {
        return update_to_published_build(run);
    } catch (const LauncherError& error) {
        report_failure(run, error);
    } catch (...) {
        report_failure(run, LauncherError("self_update_descriptor",
                                          L"Описание или файлы обновления "
                                          L"лаунчера не прошли проверку."));
    }
    return false;
}

}  // namespace vorn
