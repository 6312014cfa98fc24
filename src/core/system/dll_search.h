// Where the process may load DLLs from: System32 only. Both programs run from folders that
// the update feed and players' mods fill, so a DLL found there must never be loaded.
#pragma once

namespace vorn {

// The exit code of a program that stopped because it could not limit the DLL search.
inline constexpr int dll_search_refused_exit_code = 9;

// Makes System32 the only folder that LoadLibrary and delay-loaded imports search, for
// the whole process. Call it first thing in wWinMain, before any delay-loaded function
// runs. False when Windows cannot do that (Windows 7 without KB2533623): the caller must
// then stop without loading anything more. Never throws.
bool restrict_dll_search_to_system32() noexcept;

}  // namespace vorn
