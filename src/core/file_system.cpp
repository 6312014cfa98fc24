#include "core/file_system.h"

#include <algorithm>

#include <vector>

#include "core/hex.h"
#include "core/identifiers.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "core/unique_handle.h"

namespace vorn {
namespace {

constexpr std::wstring_view long_prefix = L"\\\\?\\";
constexpr std::wstring_view unc_long_prefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view refused_characters = L"<>:\"|?*";

void write_all(HANDLE file, ByteView bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t left = bytes.size() - offset;
        const DWORD chunk = static_cast<DWORD>(left < io_block_size ? left : io_block_size);
        if (const DWORD error = write_whole(file, bytes.data() + offset, chunk)) {
            throw_win32_error("write_file", error);
        }
        offset += chunk;
    }
}

bool is_reserved_base_name(std::wstring_view component) {
    const std::wstring base = lower_wide(std::wstring(component.substr(0, component.find(L'.'))));
    if (base == L"con" || base == L"prn" || base == L"aux" || base == L"nul") {
        return true;
    }
    return base.size() == 4 && (base.starts_with(L"com") || base.starts_with(L"lpt")) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// "VORNEL~1.EXE": a name of at most 8.3 characters with a "~" and a digit after it, the
// shape of a generated short name. Such a name may be a second spelling of another file
// (of the updater, or of another entry of the same document), so it is never accepted.
bool has_short_name_shape(std::wstring_view component) {
    const std::size_t dot = component.find(L'.');
    const std::size_t base = dot == std::wstring_view::npos ? component.size() : dot;
    const std::size_t extension = dot == std::wstring_view::npos ? 0 : component.size() - dot - 1;
    if (base == 0 || base > 8 || extension > 3 ||
        (dot != std::wstring_view::npos &&
         component.find(L'.', dot + 1) != std::wstring_view::npos)) {
        return false;
    }
    const std::size_t tilde = component.find(L'~');
    return tilde != std::wstring_view::npos && tilde + 1 < base && component[tilde + 1] >= L'0' &&
           component[tilde + 1] <= L'9';
}

[[noreturn]] void refuse_unsafe(const wchar_t* message) {
    throw LauncherError("unsafe_path", message);
}

void check_component(std::wstring_view component) {
    if (component.empty() || component == L"." || component == L".." || component.back() == L' ' ||
        component.back() == L'.') {
        refuse_unsafe(L"Описание обновления содержит небезопасный путь.");
    }
    for (const wchar_t c : component) {
        if (c < 32 || refused_characters.find(c) != std::wstring_view::npos) {
            refuse_unsafe(L"Описание обновления содержит недопустимое имя файла.");
        }
    }
    if (is_reserved_base_name(component)) {
        refuse_unsafe(L"Описание обновления содержит зарезервированное имя файла.");
    }
    if (has_short_name_shape(component)) {
        refuse_unsafe(L"Описание обновления содержит небезопасный путь.");
    }
}

}  // namespace

std::filesystem::path absolute_normal(const std::filesystem::path& path) {
    std::wstring text = backslashes(path.native());
    if (text.starts_with(L"\\\\") && !text.starts_with(long_prefix)) {
        return L"\\\\" + std::filesystem::path(text.substr(2)).lexically_normal().native();
    }
    return std::filesystem::absolute(text).lexically_normal();
}

std::wstring long_path(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    if (given.starts_with(long_prefix)) {
        return given;
    }
    const std::wstring normal = absolute_normal(path).native();
    if (normal.starts_with(long_prefix)) {
        return normal;
    }
    if (normal.starts_with(L"\\\\")) {
        return std::wstring(unc_long_prefix) + normal.substr(2);
    }
    return std::wstring(long_prefix) + normal;
}

DWORD write_whole(HANDLE file, const void* data, DWORD size) noexcept {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_WRITE_FAULT;
    }
    return written == size ? 0 : ERROR_DISK_FULL;
}

DWORD file_attributes(const std::filesystem::path& path) {
    return GetFileAttributesW(long_path(path).c_str());
}

LinkWalk walk_for_links(const std::filesystem::path& base, const std::filesystem::path& relative) {
    LinkWalk walk;
    std::filesystem::path partial = base;
    for (const auto& component : relative) {
        partial /= component;
        const DWORD attributes = file_attributes(partial);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (is_not_found(error)) {
                break;
            }
            if (walk.unreadable == ERROR_SUCCESS) {
                walk.unreadable = error;
            }
        } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            walk.link = true;
            break;
        }
    }
    return walk;
}

bool refuses_as_file(const std::filesystem::path& path) {
    const DWORD attributes = file_attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & link_or_directory_mask) != 0;
}

bool is_plain_file(const std::filesystem::path& path) {
    const DWORD attributes = file_attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & link_or_directory_mask) == 0;
}

namespace {

[[noreturn]] void refuse_folder(DWORD code) {
    throw LauncherError("create_directory", L"Не удалось создать служебную папку.", code);
}

// Creates the missing folders of `path`, outermost first. The walk stops at the first
// folder that exists, and always at a drive root: std::filesystem asks for "\\?\D:"
// itself there and fails for a folder right under the root.
void create_missing_folders(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> missing;
    std::filesystem::path at = absolute_normal(path);
    while (at.has_relative_path() && file_attributes(at) == INVALID_FILE_ATTRIBUTES) {
        missing.push_back(at);
        at = at.parent_path();
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (!CreateDirectoryW(long_path(*folder).c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) {
                refuse_folder(error);
            }
        }
    }
}

}  // namespace

void ensure_service_directory(const std::filesystem::path& path) {
    create_missing_folders(path);
    const DWORD attributes = file_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        refuse_folder(ERROR_ALREADY_EXISTS);  // a file stands where the folder should be
    }
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & link_or_directory_mask) != FILE_ATTRIBUTE_DIRECTORY) {
        throw LauncherError("unsafe_path", L"Служебная папка недоступна или является ссылкой.");
    }
}

void write_file_atomic(const std::filesystem::path& path, ByteView bytes,
                       const std::function<void()>& before_replace) {
    ensure_service_directory(path.parent_path());
    if (refuses_as_file(path)) {
        throw LauncherError("unsafe_path", L"Небезопасный путь сохранения файла.");
    }

    std::filesystem::path temp = path;
    temp += L"." + to_utf16(random_hex(8)) + L".tmp";
    const std::wstring temp_long = long_path(temp);
    UniqueFile file(CreateFileW(temp_long.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw_win32_error("write_file", GetLastError());
    }
    // The temporary is ours alone (created with CREATE_NEW); a failed delete leaves
    // nothing worse than the temporary, and the original error is what matters.
    try {
        write_all(file.get(), bytes);
        if (!FlushFileBuffers(file.get())) {
            throw_win32_error("flush_file", GetLastError());
        }
        file.reset();
    } catch (...) {
        file.reset();
        DeleteFileW(temp_long.c_str());
        throw;
    }
    if (before_replace) {
        before_replace();
    }
    if (!MoveFileExW(temp_long.c_str(), long_path(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(temp_long.c_str());
        throw_win32_error("replace_file", error);
    }
}

void write_text_file_atomic(const std::filesystem::path& path, std::string_view text,
                            const std::function<void()>& before_replace) {
    const Bytes bytes(text.begin(), text.end());
    write_file_atomic(path, bytes, before_replace);
}

UniqueFile open_plain_file(const std::filesystem::path& path, DWORD flags, const wchar_t* refusal,
                           std::uint64_t& size) {
    if (refuses_as_file(path)) {
        throw LauncherError("unsafe_path", refusal);
    }
    UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        throw_win32_error("read_file", GetLastError());
    }
    // Attributes and size only: GetFileInformationByHandle also asks for the volume, which
    // costs more than reading a small file.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    LARGE_INTEGER length{};
    if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !GetFileSizeEx(file.get(), &length)) {
        throw_win32_error("read_file", GetLastError());
    }
    if ((tag.FileAttributes & link_or_directory_mask) != 0) {
        throw LauncherError("unsafe_path", refusal);
    }
    size = static_cast<std::uint64_t>(length.QuadPart);
    return file;
}

void require_file_limit(std::uint64_t size, std::uint64_t limit) {
    if (size > limit) {
        throw LauncherError("file_limit", L"Файл превышает допустимый размер.");
    }
}

Bytes read_file_limited(const std::filesystem::path& path, std::uint64_t limit) {
    std::uint64_t size = 0;
    const UniqueFile file =
        open_plain_file(path, FILE_ATTRIBUTE_NORMAL, L"Ожидался обычный файл.", size);
    require_file_limit(size, limit);

    Bytes bytes(static_cast<std::size_t>(size));
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t left = bytes.size() - offset;
        const DWORD chunk = static_cast<DWORD>(left < io_block_size ? left : io_block_size);
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + offset, chunk, &read, nullptr)) {
            throw_win32_error("read_file", GetLastError());
        }
        if (read == 0) {
            throw LauncherError("truncated_file", L"Файл изменился во время чтения.");
        }
        offset += read;
    }
    return bytes;
}

std::filesystem::path resolve_relative_path(const std::filesystem::path& root,
                                            std::string_view relative, LinkCheck links) {
    std::wstring text = backslashes(to_utf16(relative));
    if (text.empty() || text.front() == L'\\' || text.size() > longest_relative_path) {
        refuse_unsafe(L"Описание обновления содержит небезопасный путь.");
    }

    const std::filesystem::path base = absolute_normal(root);
    std::filesystem::path inside;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'\\', start);
        const std::wstring_view component =
            std::wstring_view(text).substr(start, end == std::wstring::npos ? end : end - start);
        check_component(component);
        inside /= component;
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    if (links == LinkCheck::refuse_links && walk_for_links(base, inside).link) {
        refuse_unsafe(L"Обновление через ссылки и точки перенаправления запрещено.");
    }
    return base / inside;
}

bool is_atomic_temporary_of(std::wstring_view candidate, std::wstring_view name) {
    constexpr std::size_t digits = 16;
    if (candidate.size() != name.size() + 1 + digits + 4 || !candidate.starts_with(name) ||
        candidate[name.size()] != L'.' || !candidate.ends_with(L".tmp")) {
        return false;
    }
    const std::wstring_view hex = candidate.substr(name.size() + 1, digits);
    return is_lower_hex(hex);
}

std::optional<std::vector<FolderEntry>> list_folder(const std::filesystem::path& folder,
                                                    const wchar_t* pattern) {
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW data{};
    UniqueFind find(FindFirstFileW(long_path(folder / pattern).c_str(), &data));
    if (!find) {
        const DWORD error = GetLastError();
        if (is_not_found(error)) {
            return entries;
        }
        return std::nullopt;
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({data.cFileName, data.dwFileAttributes});
        }
    } while (FindNextFileW(find.get(), &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return std::nullopt;
    }
    return entries;
}

void remove_stale_temporaries(const std::filesystem::path& folder,
                              const std::function<bool(std::wstring_view)>& is_ours) {
    constexpr std::size_t suffix = 1 + 16 + 4;  // ".<16 hex digits>.tmp"
    const auto entries = list_folder(folder, L"*.tmp");
    if (!entries) {
        return;
    }
    for (const FolderEntry& entry : *entries) {
        if ((entry.attributes & link_or_directory_mask) != 0) {
            continue;
        }
        const std::wstring_view name = entry.name;
        if (name.size() > suffix &&
            is_atomic_temporary_of(name, name.substr(0, name.size() - suffix)) &&
            is_ours(name.substr(0, name.size() - suffix))) {
            DeleteFileW(long_path(folder / entry.name).c_str());  // best effort
        }
    }
}

void require_local_path_length(const std::filesystem::path& path) {
    if (path.native().size() > longest_local_path) {
        throw LauncherError(
            "local_path_length",
            L"Путь к клиенту слишком длинный. Переместите клиент в более короткую папку.",
            ERROR_FILENAME_EXCED_RANGE);
    }
}

std::filesystem::path resolve_client_path(const std::filesystem::path& root,
                                          std::string_view relative, LinkCheck links) {
    std::filesystem::path path = resolve_relative_path(root, relative, links);
    require_local_path_length(path);
    return path;
}

namespace {

// One of the two path calls that size their output: the text, or nothing on failure.
std::optional<std::wstring> path_call(DWORD (*call)(LPCWSTR, LPWSTR, DWORD),
                                      const std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD length = call(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);  // the size it needs, terminator included
    }
    return std::nullopt;
}

}  // namespace

std::wstring stored_spelling(const std::wstring& path) {
    // Client roots are shorter than MAX_PATH (the local path rule); the prefixed form is
    // not expanded by every implementation, so longer paths are left as given.
    if (path.empty() || path.size() >= MAX_PATH || path.starts_with(long_prefix)) {
        return path;
    }
    try {
        const auto short_form = path_call(GetShortPathNameW, path);
        const auto stored = short_form ? path_call(GetLongPathNameW, *short_form) : std::nullopt;
        return stored.value_or(path);
    } catch (const std::exception&) {
        return path;  // the spelling only joins two names of one folder; as given is safe
    }
}

}  // namespace vorn
