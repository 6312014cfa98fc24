#include "selfupdate/release_state.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>

#include "core/file_system.h"
#include "core/launcher_error.h"

namespace vorn {

std::string read_digest_file(const std::filesystem::path& path) {
    try {
        const Bytes bytes = read_file_limited(path, 256);
        std::string text(bytes.begin(), bytes.end());
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
            text.pop_back();
        }
        return text;
    } catch (const std::exception&) {
        return {};
    }
}

long signature_trust_result(const std::filesystem::path& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    // The record as far as the UI context: the signature settings of later Windows
    // versions are not used, and the size tells WinVerifyTrust so.
    data.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(data.dwUIContext);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

bool verify_signature(const std::filesystem::path& path) {
    const long result = signature_trust_result(path);
    return result == 0 || result == static_cast<long>(TRUST_E_NOSIGNATURE);
}

std::wstring quote_path(const std::filesystem::path& path) {
    if (path.native().find(L'"') != std::wstring::npos) {
        throw LauncherError("self_update_spawn",
                            L"Путь компонента обновления содержит недопустимый символ.");
    }
    return L"\"" + path.native() + L"\"";
}

}  // namespace vorn
