#include "core/identifiers.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "core/hex.h"
#include "core/launcher_error.h"

namespace vorn {

std::string random_hex(std::size_t count) {
    if (count > max_random_bytes) {
        throw LauncherError("crypto", L"Недопустимый размер случайного идентификатора.");
    }
    std::vector<std::uint8_t> bytes(count);
    if (count > 0 && BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(count),
                                     BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        throw LauncherError("crypto", L"Не удалось создать идентификатор отчёта.");
    }
    return to_hex(bytes);
}

std::string utc_timestamp() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace vorn
