#include "ui/fonts.h"

namespace vorn {
namespace {

HFONT segoe(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                       L"Segoe UI");
}

}  // namespace

Fonts create_fonts() {
    Fonts fonts;
    fonts.title.reset(segoe(23, FW_BOLD));
    fonts.detail.reset(segoe(16, FW_NORMAL));
    fonts.small_text.reset(segoe(14, FW_NORMAL));
    return fonts;
}

}  // namespace vorn
