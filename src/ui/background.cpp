#include "ui/background.h"

#include <objbase.h>
#include <objidl.h>

#include <gdiplus.h>

#include <cstring>

#include "core/system/memory_stream.h"
#include "ui/window_layout.h"

namespace vorn {

std::unique_ptr<Background> Background::load(HINSTANCE instance) {
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(background_resource_id), RT_RCDATA);
    if (!found) {
        return nullptr;
    }
    const DWORD size = SizeofResource(instance, found);
    HGLOBAL loaded = LoadResource(instance, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) {
        return nullptr;
    }
    return from_png(data, size);
}

std::unique_ptr<Background> Background::from_png(const void* data, std::size_t size) {
    if (!data || size < 1 || size > background_max_bytes) {
        return nullptr;
    }
    HBITMAP decoded = nullptr;
    {
        // The GDI+ bitmap reads the stream lazily: it must go before the stream does.
        const MemoryStream memory = stream_over(data, size);
        if (!memory.stream) {
            return nullptr;
        }
        Gdiplus::Bitmap image(memory.stream.get());
        if (image.GetLastStatus() != Gdiplus::Ok ||
            image.GetWidth() != static_cast<UINT>(layout::window_width) ||
            image.GetHeight() != static_cast<UINT>(layout::window_height)) {
            return nullptr;
        }
        if (image.GetHBITMAP(Gdiplus::Color(255, 0, 0, 0), &decoded) != Gdiplus::Ok) {
            return nullptr;
        }
    }
    std::unique_ptr<Background> background(new Background());
    background->bitmap_.reset(decoded);
    background->dc_.reset(CreateCompatibleDC(nullptr));
    if (!background->dc_) {
        return nullptr;
    }
    background->replaced_ = SelectObject(background->dc_.get(), decoded);
    if (!background->replaced_ || background->replaced_ == HGDI_ERROR) {
        background->replaced_ = nullptr;
        return nullptr;
    }
    return background;
}

Background::~Background() {
    if (replaced_) {
        SelectObject(dc_.get(), replaced_);
    }
}

}  // namespace vorn
