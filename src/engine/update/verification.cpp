#include "engine/update/verification.h"

#include <windows.h>

#include <algorithm>
#include <numeric>

#include "archive/rebase_receipt.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/ordered_work.h"
#include "core/text.h"
#include "delta/delta_manifest.h"
#include "engine/client/accepted_updater.h"
#include "engine/client/client_file_hash.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/subsystem_inputs.h"
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

// What one attribute probe tells of a listed file before any file is read.
struct FilePlan {
    std::filesystem::path path;
    bool updater = false;
    bool needs_hash = false;  // a size that may match: the file must be read
    std::uint64_t size = 0;
};

FilePlan plan_file(const ClientPlace& client, const ManifestFile& file,
                   const Overrides& overrides) {
    FilePlan plan;
    plan.path = resolve_client_path(client, file.path, LinkCheck::refuse_links);
    plan.updater = is_updater_path(file.path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (plan.updater || !probe_file(plan.path, data)) {
        return plan;
    }
    if ((data.dwFileAttributes & link_or_directory_mask) != 0) {
        throw LauncherError("file_safety",
                            L"Один из файлов клиента является ссылкой или недоступен.");
    }
    plan.size = size_from_halves(data.nFileSizeHigh, data.nFileSizeLow);
    // Another size can never match, unless the guild archive or an override says so.
    plan.needs_hash =
        plan.size == file.size || is_guild_archive_path(file.path) || overrides.contains(file.path);
    return plan;
}

bool digest_matches(const ClientPlace& client, const ManifestFile& file, const FilePlan& plan,
                    const std::string& digest, const Overrides& overrides) {
    if (plan.size == file.size && digest == file.sha256) {
        return true;
    }
    if (is_guild_archive_path(file.path) &&
        accepts_guild_patch(guild_state_file(client), file.path, file.sha256, digest)) {
        return true;
    }
    const auto override_state = overrides.find(file.path);
    return override_state != overrides.end() &&
           override_state->second == FileDigest{digest, plan.size};
}

// One listed file as a worker finds it: the probe, then the digest when the size may match.
// An error of either is raised at the file's turn, so what the player sees keeps manifest
// order.
struct CheckedFile {
    FilePlan plan;
    std::string digest;
};

OrderedWork<CheckedFile>::Job check_job(const ClientPlace& client, const ManifestFile& file,
                                        const Overrides& overrides) {
    return [&client, &file, &overrides](const HashProgress& progress) {
        CheckedFile checked{plan_file(client, file, overrides), {}};
        if (checked.plan.needs_hash) {
            checked.digest = hash_client_file(checked.plan.path, progress);
        }
        return checked;
    };
}

// The file's hash progress under its view; called only while a file is read.
HashProgress progress_views(EngineView& view, const ManifestFile& file, std::size_t index,
                            std::size_t count) {
    return [&view, wide_path = to_utf16(file.path),
            detail = L"Проверено: " + std::to_wstring(index) + L" / " + std::to_wstring(count),
            percent = percent_of(index * 100, count)](std::uint64_t done, std::uint64_t total) {
        publish_view(view,
                     {.phase = Phase::checking,
                      .percent = percent,
                      .title = verify_title,
                      .detail = detail,
                      .hint = L"Файл: " + wide_path + L"; " + hash_progress_text(done, total)});
    };
}

bool file_matches(const ClientPlace& client, const ManifestFile& file, const CheckedFile& checked,
                  const Overrides& overrides) {
    if (checked.plan.updater) {
        // The updater is judged by the accepted builds, never by the manifest digest.
        if (!find_accepted_updater(client)) {
            fail_missing_updater();
        }
        return true;
    }
    // Missing, or of another size: not read, and a mismatch.
    return checked.plan.needs_hash &&
           digest_matches(client, file, checked.plan, checked.digest, overrides);
}

}  // namespace

std::vector<ManifestFile> verify_client(const ClientPlace& client, EngineView& view,
                                        const Manifest& manifest, const Overrides& overrides) {
    const std::size_t count = manifest.files.size();
    std::vector<OrderedWork<CheckedFile>::Job> jobs;
    for (const ManifestFile& file : manifest.files) {
        jobs.push_back(check_job(client, file, overrides));
    }
    // Files are probed and read on every core, the largest first; results are taken in
    // manifest order, so views, mismatches and errors keep that order.
    std::vector<std::size_t> largest_first(count);
    std::iota(largest_first.begin(), largest_first.end(), std::size_t{0});
    std::stable_sort(largest_first.begin(), largest_first.end(), [&](std::size_t a, std::size_t b) {
        return manifest.files[a].size > manifest.files[b].size;
    });
    OrderedWork<CheckedFile> work(std::move(jobs), hashing_threads(), std::move(largest_first));
    std::vector<ManifestFile> mismatches;
    for (std::size_t i = 0; i < count; ++i) {
        const ManifestFile& file = manifest.files[i];
        publish_view(
            view, {.phase = Phase::checking,
                   .percent = percent_of(i * 100, count),
                   .title = verify_title,
                   .detail = L"Проверено: " + std::to_wstring(i) + L" / " + std::to_wstring(count),
                   .hint = L"Файл: " + to_utf16(file.path)});
        const CheckedFile checked = work.take(i, progress_views(view, file, i, count));
        if (!file_matches(client, file, checked, overrides)) {
            mismatches.push_back(file);
        }
        if (i % files_per_view == 0 || i + 1 == count) {
            publish_view(view, {.phase = Phase::checking,
                                .percent = percent_of(i * 100 + 100, count),
                                .title = verify_title,
                                .detail = L"Проверено: " + std::to_wstring(i + 1) + L" / " +
                                          std::to_wstring(count)});
        }
    }
    return mismatches;
}

Overrides updater_overrides(const ClientPlace& client, EngineView& view, const Manifest& manifest,
                            const DeltaManifest& delta_manifest) {
    Overrides overrides = load_rebase_receipt(rebase_receipt_inputs(client, view), manifest.key,
                                              delta_manifest.manifest_sha256);
    for (const DeltaEntry& entry : delta_manifest.entries) {
        if (is_updater_path(entry.path)) {
            // A package never replaces the updater: the accepted live build stands.
            const auto updater = find_accepted_updater(client);
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
            resolve_client_path(client, entry.path, LinkCheck::refuse_links);
        if (!file_exists(path)) {
            continue;
        }
        const std::string live =
            hash_file_with_view(view, path, to_utf16(entry.path), L"Проверяем архив значков");
        if (live != entry.target.sha256 &&
            accepts_guild_patch(guild_state_file(client), listed->path, listed->sha256, live)) {
            overrides[entry.path] = FileDigest{live, client_file_size(path)};
        }
    }
    return overrides;
}

}  // namespace vorn
