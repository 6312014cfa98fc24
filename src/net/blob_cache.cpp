#include "net/blob_cache.h"

#include <windows.h>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "net/blob_lock.h"
#include "net/fetch.h"
#include "net/resumable_download.h"
#include "net/url_policy.h"

namespace vorn {
namespace {

constexpr std::wstring_view partial_suffix = L".part";
constexpr std::size_t partial_digits = 16;

std::filesystem::path with_suffix(const std::filesystem::path& path, std::wstring_view suffix) {
    std::filesystem::path result = path;
    result += std::wstring(suffix);
    return result;
}

std::uint64_t file_size_of(const WIN32_FIND_DATAW& entry) {
    return size_from_halves(entry.nFileSizeHigh, entry.nFileSizeLow);
}

// <blob name>.<16 lower-case hex digits>.part: exactly the names this cache gives.
bool is_our_partial_name(std::wstring_view name, std::wstring_view blob_name) {
    const std::size_t expected = blob_name.size() + 1 + partial_digits + partial_suffix.size();
    if (name.size() != expected || !name.starts_with(blob_name) ||
        !name.ends_with(partial_suffix) || name[blob_name.size()] != L'.') {
        return false;
    }
    return is_lower_hex(name.substr(blob_name.size() + 1, partial_digits));
}

// A partial younger than this may still be continued; an older one is as good as gone.
constexpr std::uint64_t partial_lifetime_100ns = 3ull * 24 * 3600 * 10000000;

std::uint64_t age_100ns(const FILETIME& written) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t then = size_from_halves(written.dwHighDateTime, written.dwLowDateTime);
    const std::uint64_t current = size_from_halves(now.dwHighDateTime, now.dwLowDateTime);
    return current > then ? current - then : 0;
}

// Deletes partial files that interrupted runs left behind, except the one `note` names
// while it is young enough to continue; returns that one's size. Anything else stays.
std::optional<std::uint64_t> sweep_partial_files(const std::filesystem::path& blob,
                                                 std::uint64_t size,
                                                 const std::optional<ResumeNote>& note) {
    const std::wstring blob_name = blob.filename().native();
    const std::filesystem::path pattern = blob.parent_path() / (blob_name + L".*.part");
    std::optional<std::uint64_t> kept;
    WIN32_FIND_DATAW entry{};
    UniqueFind find(FindFirstFileW(long_path(pattern).c_str(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return kept;
        }
        throw_win32_error("delta_cache_cleanup", error);
    }
    std::size_t count = 0;
    do {
        if (++count > most_partial_files) {
            throw LauncherError("delta_cache_limit", L"Слишком много прерванных загрузок в кэше.");
        }
        if (!is_our_partial_name(entry.cFileName, blob_name) ||
            (entry.dwFileAttributes & link_or_directory_mask) != 0 || file_size_of(entry) > size) {
            continue;
        }
        if (note && note->part_name == entry.cFileName && file_size_of(entry) < size &&
            age_100ns(entry.ftLastWriteTime) < partial_lifetime_100ns) {
            kept = file_size_of(entry);
            continue;
        }
        if (!DeleteFileW(long_path(blob.parent_path() / entry.cFileName).c_str())) {
            throw_win32_error("delta_cache_cleanup", GetLastError());
        }
    } while (FindNextFileW(find.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        throw_win32_error("delta_cache_cleanup", error);
    }
    return kept;
}

std::uint64_t plain_file_size(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return size_from_halves(data.nFileSizeHigh, data.nFileSizeLow);
}

// True for a verified hit; throws for anything at the path that is not the blob.
bool is_cache_hit(const std::filesystem::path& blob, std::uint64_t size, const std::string& sha) {
    if (file_attributes(blob) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if (!is_plain_file(blob)) {
        throw LauncherError("delta_cache_conflict", L"Кэш дельты является ссылкой или папкой.");
    }
    if (plain_file_size(blob) == size && sha256_file(blob) == sha) {
        return true;
    }
    // The damaged blob is left for the caller to remove.
    throw LauncherError("delta_cache_conflict",
                        L"Существующий блок кэша повреждён. Повторите обновление.");
}

void verify_partial(const std::filesystem::path& part, std::uint64_t size, const std::string& sha) {
    if (!is_plain_file(part) || plain_file_size(part) != size || sha256_file(part) != sha) {
        throw LauncherError("delta_blob_integrity", L"Загруженный блок дельты не прошёл проверку.");
    }
}

// The partial named `name`, or a fresh name when there is none to continue.
std::filesystem::path partial_path(const std::filesystem::path& blob, const std::wstring& name) {
    if (!name.empty()) {
        return blob.parent_path() / name;
    }
    return with_suffix(blob, L"." + to_utf16(random_hex(8)) + std::wstring(partial_suffix));
}

void discard_partial(BlobLock& lock, const std::filesystem::path& part) noexcept {
    DeleteFileW(long_path(part).c_str());  // may not exist yet: result ignored
    lock.forget();
}

}  // namespace

bool is_valid_blob_request(const HttpRequest& request, std::uint64_t size,
                           const std::string& sha256) {
    return is_sha256_hex(sha256) && size >= 1 && size <= largest_single_download &&
           size <= request.max_body;
}

void download_blob_cached(Transport& transport, const HttpRequest& request,
                          const std::filesystem::path& final_path, std::uint64_t expected_size,
                          const std::string& expected_sha256, int attempts) {
    require_trusted_url(request.url, request.trust);
    if (!is_valid_blob_request(request, expected_size, expected_sha256)) {
        throw LauncherError("delta_download_contract", L"Неверное описание блока дельты.");
    }
    ensure_service_directory(final_path.parent_path());
    BlobLock lock(final_path);
    const std::optional<ResumeNote> note = lock.note();
    const std::optional<std::uint64_t> kept = sweep_partial_files(final_path, expected_size, note);
    if (is_cache_hit(final_path, expected_size, expected_sha256)) {
        if (kept) {
            discard_partial(lock, final_path.parent_path() / note->part_name);
        }
        return;
    }

    FileDownload download{.path = partial_path(final_path, kept ? note->part_name : L""),
                          .kind = DownloadKind::delta_blob,
                          .size = expected_size,
                          .held = kept.value_or(0),
                          .etag = kept ? note->etag : std::string()};
    // Noted before the first byte lands, so a partial survives even a killed launcher.
    download.accepted = [&](const FileDownload& now) {
        lock.remember({download.path.filename().native(), now.etag});
    };
    try {
        download_resuming(
            transport, request, download, attempts,
            [&](const LauncherError& error, int number) {
                // A blob's attempts report the size the download was held to.
                nlohmann::json record = attempt_record(error, number);
                record["expected_bytes"] = expected_size;
                return record;
            },
            [&] { verify_partial(download.path, expected_size, expected_sha256); });
        // No replacement: the blob was absent, and a present blob is never rewritten.
        if (!MoveFileExW(long_path(download.path).c_str(), long_path(final_path).c_str(),
                         MOVEFILE_WRITE_THROUGH)) {
            throw_win32_error("delta_cache_publish", GetLastError());
        }
        lock.forget();
    } catch (const LauncherError& error) {
        // A link that broke leaves its bytes for the next run, under their validator.
        if (!is_transient_failure(error) || download.held == 0 || download.etag.empty()) {
            discard_partial(lock, download.path);
        }
        throw;
    } catch (...) {
        discard_partial(lock, download.path);
        throw;
    }
}

}  // namespace vorn
