#include "core/system/gdiplus_session.h"

#include <objidl.h>

#include <gdiplus.h>

namespace vorn {

GdiplusSession::GdiplusSession() noexcept {
    const Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
        token_ = token;
    }
}

GdiplusSession::~GdiplusSession() {
    if (token_ != 0) {
        Gdiplus::GdiplusShutdown(token_);
    }
}

}  // namespace vorn
