#include "engine/verification.h"

#include <windows.h>

#include "archive/rebase_receipt.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "delta/delta_manifest.h"
#include "engine/accepted_updater.h"
#include "engine/client_paths.h"
#include "engine/file_hashing.h"
#include "engine/subsystem_inputs.h"
#include "engine/update_engine.h"
#include "guild/guild_state.h"

namespace vorn {
namespace {

// Views between files are rate-limited to one every this many files.
constexpr std::size_t files_per_view = 32;

const wchar_t* const verify_title = L"Проверяем файлы клиента";

[[noreturn]] void fail_missing_updater() {
    throw LauncherError("self_update_missing_component",
                        L"Компонент обновления отсутствует или не прошёл проверку. Установите "
                        L"актуальный VornellUpdater.exe в папку element.");
}

std::int32_t percent_of(std::size_t part, std::size_t whole) {
    return static_cast<std::int32_t>(part / whole);
}

// Attributes and size in one probe; false when the file is missing.
bool probe_file(const std::filesystem::path& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    if (GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (is_not_found(error)) {
        return false;
    }
    throw LauncherError("local_state", L"Не удалось прочитать состояние клиента.", error);
}

bool file_matches(UpdateEngine& engine, const ManifestFile& file, const std::filesystem::path& path,
                  const Overrides& overrides, std::size_t index, std::size_t count) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!probe_file(path, data)) {
        return false;
    }
    if ((data.dwFileAttributes & link_or_directory_mask) != 0) {
        throw LauncherError("file_safety",
                            L"Один из файлов клиента является ссылкой или недоступен.");
    }
    const std::uint64_t size = size_from_halves(data.nFileSizeHigh, data.nFileSizeLow);
    const auto override_state = overrides.find(file.path);
    const bool has_override = override_state != overrides.end();
    const bool guild_archive = is_guild_archive_path(file.path);
    if (size != file.size && !guild_archive && !has_override) {
        return false;  // another size can never match: the file is not read
    }

    const std::wstring wide_path = to_utf16(file.path);
    const std::wstring detail =
        L"Проверено: " + std::to_wstring(index) + L" / " + std::to_wstring(count);
    const std::int32_t percent = percent_of(index * 100, count);
    const std::string digest = hash_client_file(path, [&](std::uint64_t done, std::uint64_t total) {
        publish_view(engine,
                     {.phase = Phase::checking,
                      .percent = percent,
                      .title = verify_title,
                      .detail = detail,
                      .hint = L"Файл: " + wide_path + L"; " + hash_progress_text(done, total)});
    });
    if (size == file.size && digest == file.sha256) {
        return true;
    }
    if (guild_archive &&
        accepts_guild_patch(guild_state_file(engine), file.path, file.sha256, digest)) {
        return true;
    }
    return has_override && override_state->second == FileDigest{digest, size};
}

}  // namespace

std::vector<ManifestFile> verify_client(UpdateEngine& engine, const Manifest& manifest,
                                        const Overrides& overrides) {
    std::vector<ManifestFile> mismatches;
    const std::size_t count = manifest.files.size();
    for (std::size_t i = 0; i < count; ++i) {
        const ManifestFile& file = manifest.files[i];
        publish_view(engine, {.phase = Phase::checking,
                              .percent = percent_of(i * 100, count),
                              .title = verify_title,
                              .detail = L"Проверено: " + std::to_wstring(i) + L" / " +
                                        std::to_wstring(count),
                              .hint = L"Файл: " + to_utf16(file.path)});
        const std::filesystem::path path =
            resolve_client_path(engine, file.path, LinkCheck::refuse_links);
        if (is_updater_path(file.path)) {
            // The updater is judged by the accepted builds, never by the manifest digest.
            if (!find_accepted_updater(engine)) {
                fail_missing_updater();
            }
        } else if (!file_matches(engine, file, path, overrides, i, count)) {
            mismatches.push_back(file);
        }
        if (i % files_per_view == 0 || i + 1 == count) {
            publish_view(engine, {.phase = Phase::checking,
                                  .percent = percent_of(i * 100 + 100, count),
                                  .title = verify_title,
                                  .detail = L"Проверено: " + std::to_wstring(i + 1) + L" / " +
                                            std::to_wstring(count)});
        }
    }
    return mismatches;
}

Overrides updater_overrides(UpdateEngine& engine, const Manifest& manifest,
                            const DeltaManifest& delta_manifest) {
    Overrides overrides = load_rebase_receipt(rebase_receipt_inputs(engine), manifest.key,
                                              delta_manifest.manifest_sha256);
    for (const DeltaEntry& entry : delta_manifest.entries) {
        if (is_updater_path(entry.path)) {
            // A package never replaces the updater: the accepted live build stands.
            const auto updater = find_accepted_updater(engine);
            if (!updater) {
                fail_missing_updater();
            }
            overrides[entry.path] = *updater;
            continue;
        }
        if (!is_guild_archive_path(entry.path)) {
            continue;
        }
        const auto listed = std::find_if(
            manifest.files.begin(), manifest.files.end(), [&](const ManifestFile& file) {
                return normalize_manifest_path(file.path) == normalize_manifest_path(entry.path);
            });
        if (listed == manifest.files.end()) {
            continue;
        }
        const std::filesystem::path path =
            resolve_client_path(engine, entry.path, LinkCheck::refuse_links);
        if (!file_exists(path)) {
            continue;
        }
        const std::string live =
            hash_file_with_view(engine, path, to_utf16(entry.path), L"Проверяем архив значков");
        if (live != entry.target.sha256 &&
            accepts_guild_patch(guild_state_file(engine), listed->path, listed->sha256, live)) {
            overrides[entry.path] = FileDigest{live, client_file_size(path)};
        }
    }
    return overrides;
}

}  // namespace vorn
