#include "net/blob_lock.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {
namespace {

constexpr std::wstring_view lock_suffix = L".download.lock";
constexpr DWORD largest_note = 1024;

bool rewrite(HANDLE file, const std::string& text) {
    LARGE_INTEGER start{};
    DWORD wrote = 0;
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
           wrote == text.size() && SetEndOfFile(file);
}

}  // namespace

BlobLock::BlobLock(const std::filesystem::path& blob) {
    std::filesystem::path lock = blob;
    lock += std::wstring(lock_suffix);
    if (refuses_as_file(lock)) {
        throw LauncherError("delta_cache_conflict", L"Небезопасный файл блокировки загрузки.");
    }
    file_.reset(CreateFileW(long_path(lock).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    if (!file_) {
        throw_win32_error("delta_cache_locked", GetLastError());
    }
}

std::optional<ResumeNote> BlobLock::note() const {
    std::string text(largest_note, '\0');
    LARGE_INTEGER start{};
    DWORD read = 0;
    if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ||
        !ReadFile(file_.get(), text.data(), largest_note, &read, nullptr) || read == 0 ||
        read == largest_note) {
        return std::nullopt;
    }
    text.resize(read);
    try {
        const nlohmann::json document = nlohmann::json::parse(text);
        return ResumeNote{to_utf16(document.at("part").get<std::string>()),
                          document.at("etag").get<std::string>()};
    } catch (const std::exception&) {
        return std::nullopt;  // torn by a kill mid-write, or not ours: nothing to continue
    }
}

void BlobLock::remember(const ResumeNote& note) {
    const std::string text =
        nlohmann::json{{"part", to_utf8(note.part_name)}, {"etag", note.etag}}.dump();
    if (!rewrite(file_.get(), text)) {
        throw_win32_error("delta_cache_write", GetLastError());
    }
}

void BlobLock::forget() noexcept {
    rewrite(file_.get(), {});
}

}  // namespace vorn
