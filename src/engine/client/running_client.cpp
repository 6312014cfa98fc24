#include "engine/client/running_client.h"

#include <windows.h>
#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

#include "core/file_probes.h"
#include "core/launcher_error.h"
#include "core/unique_handle.h"
#include "engine/client/client_place.h"
#include "model/manifest.h"

namespace vorn {
namespace {

constexpr wchar_t game_executable[] = L"elementclient.exe";
constexpr DWORD image_path_capacity = 32768;

[[noreturn]] void state_error(const wchar_t* message, DWORD code) {
    throw LauncherError("game_state", message, code);
}

bool equal_ignoring_case(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The image path of a process, or nothing when it ended before it could be opened.
bool read_image_path(DWORD pid, std::wstring& path) {
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER) {
            return false;  // the process has ended
        }
        state_error(L"Не удалось проверить запущенный клиент. Закройте игру перед обновлением.",
                    error);
    }
    std::vector<wchar_t> buffer(image_path_capacity);
    DWORD size = image_path_capacity;
    if (!QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size)) {
        state_error(
            L"Не удалось определить путь запущенного клиента. Закройте игру перед обновлением.",
            GetLastError());
    }
    path.assign(buffer.data(), size);
    if (path.starts_with(L"\\\\?\\")) {
        path.erase(0, 4);
    }
    return true;
}

}  // namespace

void ensure_game_not_running(const std::filesystem::path& game_path) {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        state_error(L"Не удалось проверить, закрыта ли игра. Обновление не начато.",
                    GetLastError());
    }
    const std::wstring target = game_path.native();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NO_MORE_FILES) {
            return;
        }
        state_error(L"Не удалось проверить, закрыта ли игра.", error);
    }
    do {
        std::wstring image;
        if (equal_ignoring_case(entry.szExeFile, game_executable) &&
            read_image_path(entry.th32ProcessID, image) &&
            (equal_ignoring_case(image.c_str(), target.c_str()) ||
             is_same_file(image, game_path))) {
            throw LauncherError("game_running",
                                L"Закройте игру перед обновлением или восстановлением файлов.");
        }
    } while (Process32NextW(snapshot.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        state_error(L"Не удалось завершить проверку запущенных клиентов.", error);
    }
}

void ensure_client_not_running(const ClientPlace& client) {
    if (client.local_test) {
        return;
    }
    ensure_game_not_running(resolve_client_path(client, default_executable, LinkCheck::skip));
}

std::optional<std::filesystem::path> game_executable_path(const ClientPlace& client) {
    try {
        std::filesystem::path game =
            resolve_client_path(client, default_executable, LinkCheck::refuse_links);
        if (is_plain_file(game)) {
            return game;
        }
    } catch (const std::exception&) {
        // an unsafe or unreadable path is no game to start
    }
    return std::nullopt;
}

bool game_executable_present(const ClientPlace& client) {
    return game_executable_path(client).has_value();
}

}  // namespace vorn
