// The window's background art: the PNG stored as RCDATA 101, decoded once into a
// memory device context that painting copies from.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

#include "ui/gdi_handles.h"

namespace vorn {

inline constexpr int background_resource_id = 101;
inline constexpr std::size_t background_max_bytes = 8 * 1024 * 1024;

class Background {
  public:
    // Null when the resource is missing, too large, not a PNG or not 1100 x 620.
    // GDI+ must be running.
    static std::unique_ptr<Background> load(HINSTANCE instance);
    static std::unique_ptr<Background> from_png(const void* data, std::size_t size);

    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    HDC dc() const noexcept { return dc_.get(); }

  private:
    Background() = default;

    UniqueBitmap bitmap_;
    UniqueMemoryDc dc_;
    HGDIOBJ replaced_ = nullptr;
};

}  // namespace vorn
