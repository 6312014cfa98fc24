// The RAII owner of WinHTTP handles (session, connection, request).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "core/unique_handle.h"

namespace vorn {

struct WinHttpHandleTraits {
    using type = HINTERNET;
    static type invalid() noexcept { return nullptr; }
    static void close(type handle) noexcept { WinHttpCloseHandle(handle); }
};

using UniqueInternet = UniqueHandle<WinHttpHandleTraits>;

}  // namespace vorn
