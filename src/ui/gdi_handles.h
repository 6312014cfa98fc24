// Owners of the GDI objects the window and the preview create, and a guard for the
// objects selected into a device context.
#pragma once

#include <windows.h>

#include "core/unique_handle.h"

namespace vorn {

// Fonts, bitmaps, pens and brushes: one instantiation per kind so they never mix.
template <typename Object>
struct GdiObjectTraits {
    using type = Object;
    static type invalid() noexcept { return nullptr; }
    static void close(type object) noexcept { DeleteObject(object); }
};

struct MemoryDcTraits {
    using type = HDC;
    static type invalid() noexcept { return nullptr; }
    static void close(type dc) noexcept { DeleteDC(dc); }
};

// The device context of the whole screen, from GetDC(nullptr).
struct ScreenDcTraits {
    using type = HDC;
    static type invalid() noexcept { return nullptr; }
    static void close(type dc) noexcept { ReleaseDC(nullptr, dc); }
};

struct IconTraits {
    using type = HICON;
    static type invalid() noexcept { return nullptr; }
    static void close(type icon) noexcept { DestroyIcon(icon); }
};

using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniquePen = UniqueHandle<GdiObjectTraits<HPEN>>;
using UniqueBrush = UniqueHandle<GdiObjectTraits<HBRUSH>>;
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;
using UniqueScreenDc = UniqueHandle<ScreenDcTraits>;
using UniqueIcon = UniqueHandle<IconTraits>;

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
