// Owners of the GDI objects the window and the preview create, and a guard for the
// objects selected into a device context.
#pragma once

#include <windows.h>

#include "core/unique_handle.h"

namespace vorn {

inline void release_screen_dc(HDC dc) noexcept {
    ReleaseDC(nullptr, dc);
}

// Fonts, bitmaps, pens and brushes: one type per kind so they never mix.
using UniqueFont = UniqueHandle<ClosedBy<HFONT, DeleteObject>>;
using UniqueBitmap = UniqueHandle<ClosedBy<HBITMAP, DeleteObject>>;
using UniquePen = UniqueHandle<ClosedBy<HPEN, DeleteObject>>;
using UniqueBrush = UniqueHandle<ClosedBy<HBRUSH, DeleteObject>>;
using UniqueMemoryDc = UniqueHandle<ClosedBy<HDC, DeleteDC>>;
// The device context of the whole screen, from GetDC(nullptr).
using UniqueScreenDc = UniqueHandle<ClosedBy<HDC, release_screen_dc>>;
using UniqueIcon = UniqueHandle<ClosedBy<HICON, DestroyIcon>>;

// Selects an object for one scope and puts the previous one back, so an object is never
// deleted while a device context still holds it.
class ScopedSelect {
  public:
    ScopedSelect(HDC dc, HGDIOBJ object) noexcept
        : dc_(dc), previous_(object ? SelectObject(dc, object) : nullptr) {}
    ~ScopedSelect() {
        if (previous_ && previous_ != HGDI_ERROR) {
            SelectObject(dc_, previous_);
        }
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace vorn
