#include "engine/install/update_blob.h"

#include <windows.h>

#include <array>
#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "net/inflate.h"
#include "net/resumable_download.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr int blob_attempts = 3;

// "<target>.<16 hex digits>.tmp": the name of an atomic write's temporary, which the
// transaction's clean-up knows.
fs::path temporary_beside(const fs::path& target) {
    fs::path temporary = target;
    temporary += L"." + to_utf16(random_hex(8)) + L".tmp";
    return temporary;
}

void download_raw(const EngineServices& services, const ManifestFile& file, const fs::path& raw) {
    const std::uint64_t limit =
        file.compressed_size != 0 ? file.compressed_size : largest_manifest_file;
    const HttpRequest request =
        make_request(blob_url(services.config.endpoints.update_base_url, file.sha256),
                     services.config.url_trust(), limit);
    FileDownload download{
        .path = raw, .kind = DownloadKind::update_file, .size = file.compressed_size};
    download_resuming(
        *services.transport, request, download, blob_attempts,
        [](const LauncherError& error, int number) { return attempt_record(error, number); });
}

// True for gzip, false for zlib, none for a file that does not begin like either.
std::optional<bool> compression_of(const fs::path& raw) {
    const UniqueFile file(CreateFileW(long_path(raw).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::array<std::uint8_t, 2> head{};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), head.data(), 2, &read, nullptr)) {
        throw_win32_error("file_read", GetLastError());
    }
    if (read == 2 && head[0] == 0x1f && head[1] == 0x8b) {
        return true;
    }
    if (read == 2 && head[0] == 0x78) {
        return false;
    }
    return std::nullopt;
}

bool holds_content(const fs::path& path, const ManifestFile& file) {
    return client_file_size(path) == file.size && sha256_file(path) == file.sha256;
}

void move_to(const fs::path& from, const fs::path& to) {
    if (!MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        throw_win32_error("replace_file", GetLastError());
    }
}

[[noreturn]] void refuse_content() {
    throw LauncherError("blob_sha",
                        L"Контрольная сумма обновления не совпадает. Файл не установлен.");
}

// Decodes the downloaded blob into `target`, or moves it there when it is the content
// as it is. `raw` is gone or still there for the caller to delete.
void publish_content(const fs::path& raw, const ManifestFile& file, const fs::path& target) {
    const std::optional<bool> gzip = compression_of(raw);
    if (!gzip) {
        if (!holds_content(raw, file)) {
            refuse_content();
        }
        return move_to(raw, target);
    }
    std::optional<LauncherError> inflate_error;
    const fs::path decoded = temporary_beside(target);
    try {
        const InflatedFile content = inflate_file(raw, decoded, file.size, *gzip);
        if (content.size == file.size && content.sha256 == file.sha256) {
            return move_to(decoded, target);
        }
        DeleteFileW(long_path(decoded).c_str());
    } catch (const LauncherError& error) {
        DeleteFileW(long_path(decoded).c_str());  // gone already unless the move failed
        inflate_error = error;
    }
    // A file stored as it is may itself begin like a compressed stream (a .gz, or text
    // starting with "x"): its own digest is the last word, so it is not refused forever.
    if (holds_content(raw, file)) {
        return move_to(raw, target);
    }
    if (inflate_error) {
        throw *inflate_error;
    }
    refuse_content();
}

}  // namespace

void stage_update_blob(const EngineServices& services, const ManifestFile& file,
                       const fs::path& target) {
    const fs::path raw = temporary_beside(target);
    try {
        download_raw(services, file, raw);
        publish_content(raw, file, target);
    } catch (...) {
        DeleteFileW(long_path(raw).c_str());  // moved into place, or ours to remove
        throw;
    }
    DeleteFileW(long_path(raw).c_str());  // the decoded copy took its place
}

}  // namespace vorn
