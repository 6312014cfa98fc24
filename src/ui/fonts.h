// The window's four fonts, all "Segoe UI" in device pixels.
#pragma once

#include "ui/gdi_handles.h"

namespace vorn {

struct Fonts {
    UniqueFont title;       // 23, bold
    UniqueFont detail;      // 16
    UniqueFont small_text;  // 14: percent, hint, footer, the action button labels
};

// A font that cannot be made stays null; its texts then use the device context's font.
Fonts create_fonts();

}  // namespace vorn
