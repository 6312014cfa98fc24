// The updater program's entry: its window, and the run on a thread of its own.
#pragma once

#include <windows.h>

namespace vorn {

int updater_main(HINSTANCE instance);

}  // namespace vorn
