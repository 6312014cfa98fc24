// The RAII owner of WinHTTP handles (session, connection, request).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "core/unique_handle.h"

namespace vorn {

using UniqueInternet = UniqueHandle<ClosedBy<HINTERNET, WinHttpCloseHandle>>;

}  // namespace vorn
