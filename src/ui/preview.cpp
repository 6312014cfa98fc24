#include "ui/preview.h"

#include <objidl.h>

#include <gdiplus.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "core/system/gdiplus_session.h"
#include "ui/background.h"
#include "ui/fonts.h"
#include "ui/gdi_handles.h"
#include "ui/paint_window.h"
#include "ui/window_layout.h"

namespace vorn {
namespace {

std::optional<CLSID> png_encoder() {
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) {
        return std::nullopt;
    }
    // ImageCodecInfo records are followed by the strings they point to.
    std::vector<unsigned char> buffer(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) {
        return std::nullopt;
    }
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType && std::wstring(codecs[i].MimeType) == L"image/png") {
            return codecs[i].Clsid;
        }
    }
    return std::nullopt;
}

}  // namespace

namespace {

// One sample state of the window: what the views of a real run would show.
struct PreviewState {
    const wchar_t* name;
    Phase phase;
    std::int32_t percent;
    const wchar_t* title;
    const wchar_t* detail;
    const wchar_t* hint;
    bool busy;
    bool can_play;
    bool can_update;
};

constexpr PreviewState preview_states[] = {
    {L"idle", Phase::ready, 0, L"Новых обновлений нет", L"Клиент проверен. Можно играть.",
     L"Полная сверка доступна по кнопке Проверить.", false, true, false},
    {L"update", Phase::needs_action, 0, L"Доступно обновление",
     L"Нажмите Обновить для загрузки и установки.", L"Проверить выполняет полную сверку файлов.",
     false, false, true},
    {L"busy", Phase::downloading, 47, L"Загрузка обновления", L"element/data/elements.data",
     L"Файл 2 из 7. Дождитесь завершения обновления.", true, false, false},
    {L"error", Phase::error, 0, L"Ошибка получения обновлений",
     L"Сервер обновлений не ответил вовремя.", L"Код отчёта: 0123456789abcdef0123456789abcdef",
     false, false, true},
    {L"unverified", Phase::needs_action, 0, L"Нужна проверка клиента",
     L"Нажмите Обновить для первой проверки клиента.",
     L"При запуске полная проверка файлов не выполняется.", false, false, true},
};

}  // namespace

UiView make_preview_view(const std::wstring& state) {
    for (const PreviewState& sample : preview_states) {
        if (state == sample.name) {
            UiView view;
            view.client_version = L"18";
            view.phase = sample.phase;
            view.percent = sample.percent;
            view.title = sample.title;
            view.detail = sample.detail;
            view.hint = sample.hint;
            view.busy = sample.busy;
            view.can_play = sample.can_play;
            view.can_update = sample.can_update;
            return view;
        }
    }
    throw std::invalid_argument("unknown preview state");
}

bool render_preview(HINSTANCE instance, const std::wstring& client_folder, const UiView& view,
                    const std::wstring& png_path) {
    const GdiplusSession gdiplus;
    if (!gdiplus.started()) {
        return false;
    }
    const auto background = Background::load(instance);
    if (!background) {
        return false;
    }
    const Fonts fonts = create_fonts();
    const UniqueScreenDc screen(GetDC(nullptr));
    if (!screen) {
        return false;
    }
    const UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
    const UniqueBitmap picture(
        CreateCompatibleBitmap(screen.get(), layout::window_width, layout::window_height));
    if (!memory || !picture) {
        return false;
    }
    {
        // GDI+ reads the bitmap once it is out of the device context again.
        const ScopedSelect use_picture(memory.get(), picture.get());
        paint_window(memory.get(), background->dc(), fonts, client_folder, view, true);
        GdiFlush();
    }
    const auto encoder = png_encoder();
    if (!encoder) {
        return false;
    }
    Gdiplus::Bitmap image(picture.get(), nullptr);
    return image.GetLastStatus() == Gdiplus::Ok &&
           image.Save(png_path.c_str(), &*encoder, nullptr) == Gdiplus::Ok;
}

}  // namespace vorn
