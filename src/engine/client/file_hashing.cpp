#include "engine/client/file_hashing.h"

#include <windows.h>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "engine/client/client_file_hash.h"
#include "engine/client/engine_view.h"
#include "engine/client/ordered_hashing.h"
#include "model/ui_snapshot.h"

namespace vorn {

namespace {

// Publishes the file's views under `title` while `hash` runs with their progress callback.
template <typename Hash>
std::string hash_with_view(EngineView& view, const std::wstring& display, const std::wstring& title,
                           const Hash& hash) {
    const Phase shown_phase =
        view.snapshot.phase == Phase::installing ? Phase::installing : Phase::checking;
    const std::wstring detail = L"Файл: " + display;
    publish_view(view, {.phase = shown_phase,
                        .title = title,
                        .detail = detail,
                        .hint = L"Вычисляем контрольную сумму файла."});
    return hash([&](std::uint64_t done, std::uint64_t total) {
        publish_view(view, {.phase = shown_phase,
                            .title = title,
                            .detail = detail,
                            .hint = hash_progress_text(done, total)});
    });
}

}  // namespace

std::string hash_file_with_view(EngineView& view, const std::filesystem::path& path,
                                const std::wstring& display, const std::wstring& title) {
    return hash_with_view(view, display, title, [&](const HashProgress& progress) {
        return hash_client_file(path, progress);
    });
}

std::string checksum_of(EngineView& view, const std::filesystem::path& path,
                        const std::string& manifest_path) {
    return hash_file_with_view(view, path, to_utf16(manifest_path), checksum_title);
}

std::string copy_with_checksum(EngineView& view, const std::filesystem::path& path,
                               const std::filesystem::path& target,
                               const std::string& manifest_path) {
    return hash_with_view(
        view, to_utf16(manifest_path), checksum_title,
        [&](const HashProgress& progress) { return copy_client_file(path, target, progress); });
}

std::string checksum_taken(EngineView& view, OrderedHashing& hashing, std::size_t index,
                           const std::string& manifest_path) {
    return hash_with_view(
        view, to_utf16(manifest_path), checksum_title,
        [&](const HashProgress& progress) { return hashing.take(index, progress); });
}

namespace {

std::wstring in_unit(std::uint64_t value, std::uint64_t unit) {
    std::wstring text = std::to_wstring(value / unit);
    if (unit > 1) {
        text += L"." + std::to_wstring((value % unit) * 10 / unit);
    }
    return text;
}

}  // namespace

std::wstring hash_progress_text(std::uint64_t done, std::uint64_t total) {
    std::uint64_t unit = 1048576;
    const wchar_t* suffix = L" МБ";
    if (total < 1024) {
        unit = 1;
        suffix = L" байт";
    } else if (total < 1048576) {
        unit = 1024;
        suffix = L" КБ";
    }
    return L"SHA-256: " + in_unit(done, unit) + L" / " + in_unit(total, unit) + suffix;
}

}  // namespace vorn
