#include "selfupdate/updater_component.h"

#include <windows.h>

#include <algorithm>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "selfupdate/release_file.h"
#include "selfupdate/code_signature.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

bool holds(const fs::path& path, const std::string& digest, const std::vector<std::string>& pins) {
    try {
        return is_plain_file(path) && sha256_file(path) == digest && is_trusted_program(path, pins);
    } catch (const LauncherError&) {
        return false;  // unreadable: replaced below like a wrong one
    }
}

}  // namespace

fs::path updater_location(const SelfUpdateContext& context) {
    const fs::path expected = resolve_relative_path(
        context.client_root, "element/VornellUpdater.exe", LinkCheck::refuse_links);
    if (lower_wide(absolute_normal(context.updater_path).native()) !=
        lower_wide(expected.native())) {
        throw LauncherError("self_update_staging",
                            L"Компонент обновления должен находиться в папке element клиента.");
    }
    return expected;
}

std::string expected_updater_digest(const SelfUpdateContext& context,
                                    const ReleaseDescriptor& descriptor) {
    return descriptor.updater ? descriptor.updater->sha256 : context.pinned_updater_sha256;
}

std::string accepted_present_updater(const SelfUpdateContext& context) {
    const fs::path updater = updater_location(context);
    try {
        const std::string digest = is_plain_file(updater) ? sha256_file(updater) : std::string();
        const auto& accepted = context.accepted_updater_sha256;
        if ((digest == context.pinned_updater_sha256 ||
             std::find(accepted.begin(), accepted.end(), digest) != accepted.end()) &&
            !digest.empty() && is_trusted_program(updater, context.signer_pins)) {
            return digest;
        }
    } catch (const LauncherError&) {
        // unreadable: refused below like a wrong one
    }
    throw LauncherError("self_update_missing_component",
                        L"VornellUpdater.exe отсутствует или не прошёл проверку. Установите "
                        L"оба файла из полного архива лаунчера.");
}

void require_trusted_updater_entry(const SelfUpdateContext& context,
                                   const ReleaseDescriptor& descriptor, bool descriptor_signed) {
    if (descriptor.updater && descriptor.updater->sha256 != context.pinned_updater_sha256 &&
        !descriptor_signed && context.signer_pins.empty()) {
        throw LauncherError("self_update_untrusted_component",
                            L"Описание обновления называет другой компонент обновления, но ничем "
                            L"не подтверждено: ни подписью описания, ни подписью программы.");
    }
}

void ensure_updater_component(const SelfUpdateContext& context,
                              const ReleaseDescriptor& descriptor) {
    const fs::path updater = updater_location(context);
    const std::string expected = expected_updater_digest(context, descriptor);
    if (!is_sha256_hex(expected)) {
        throw LauncherError(
            "self_update_missing_component",
            L"Для этой версии требуется отдельный VornellUpdater.exe из полного архива лаунчера.");
    }
    if (holds(updater, expected, context.signer_pins)) {
        return;
    }
    if (!descriptor.updater) {
        throw LauncherError("self_update_missing_component",
                            L"VornellUpdater.exe отсутствует или не прошёл проверку. Установите "
                            L"оба файла из полного архива лаунчера.");
    }
    const Bytes bytes =
        download_release_file(*context.transport, context.trust, *descriptor.updater, true);
    ensure_service_directory(updater.parent_path());
    const fs::path staged = resolve_relative_path(
        context.client_root, "element/VornellUpdater.update." + expected + ".exe",
        LinkCheck::refuse_links);
    write_file_atomic(staged, bytes);
    if (!is_trusted_program(staged, context.signer_pins)) {
        DeleteFileW(long_path(staged).c_str());
        throw LauncherError("self_update_signature",
                            L"Подпись компонента обновления не прошла проверку.");
    }
    if (!MoveFileExW(long_path(staged).c_str(), long_path(updater).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw LauncherError("self_update_staging",
                            L"Не удалось установить отдельный компонент обновления.",
                            GetLastError());
    }
    if (sha256_file(updater) != expected) {
        throw LauncherError("self_update_hash", L"Компонент обновления изменился после сохранения.",
                            ERROR_CRC);
    }
}

}  // namespace vorn
