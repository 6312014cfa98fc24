#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>

#include <gdiplus.h>

#include <array>
#include <climits>
#include <memory>
#include <stdexcept>

#include "core/system/gdiplus_session.h"
#include "support/temp_dir.h"
#include "ui/background.h"
#include "ui/preview.h"
#include "ui/window_layout.h"

namespace vorn {
namespace {

using Rgb = std::array<int, 3>;
constexpr Rgb rgb(COLORREF colour) {
    return {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
}

int distance2(const Rgb& a, const Rgb& b) {
    int sum = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    }
    return sum;
}

class Preview : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(gdiplus_.started());
        if (!FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), RT_RCDATA)) {
            GTEST_SKIP() << "the background art is not linked into this build";
        }
    }

    // Renders the view into a PNG and decodes it again, as a player's viewer would.
    void render(const UiView& view) {
        image_.reset();  // GDI+ keeps a decoded file open
        const auto png = dir_ / (L"preview-" + std::to_wstring(++rendered_) + L".png");
        ASSERT_TRUE(render_preview(GetModuleHandleW(nullptr), L"C:\\Games\\Vornell", view, png));
        image_.reset(Gdiplus::Bitmap::FromFile(png.c_str()));
        ASSERT_TRUE(image_ && image_->GetLastStatus() == Gdiplus::Ok);
        ASSERT_EQ(image_->GetWidth(), 1100u);
        ASSERT_EQ(image_->GetHeight(), 620u);
    }
    void render(const wchar_t* state) { render(make_preview_view(state)); }

    Rgb at(int x, int y) const {
        Gdiplus::Color colour;
        image_->GetPixel(x, y, &colour);
        return {colour.GetR(), colour.GetG(), colour.GetB()};
    }
    // Inside a button's face: clear of its border, inner line and label.
    Rgb face_of(int row) const {
        const RECT& r = layout::buttons[row].rect;
        return at(r.left + 4, r.top + 4);
    }
    // The squared distance of the pixel in `area` closest to `colour`.
    int closest_in(const RECT& area, COLORREF colour) const {
        int best = INT_MAX;
        for (int y = area.top; y < area.bottom; ++y) {
            for (int x = area.left; x < area.right; ++x) {
                best = std::min(best, distance2(at(x, y), rgb(colour)));
            }
        }
        return best;
    }

    GdiplusSession gdiplus_;
    test::ScopedTempDir dir_;
    std::unique_ptr<Gdiplus::Bitmap> image_;
    int rendered_ = 0;
};

constexpr int bar_y = 353;

TEST_F(Preview, EveryStatePaintsThePanelsOverTheArt) {
    for (const wchar_t* state : {L"idle", L"update", L"busy", L"error", L"unverified"}) {
        SCOPED_TRACE(testing::Message() << state);
        render(state);
        EXPECT_EQ(at(168, 390), rgb(colours::status_panel));
        EXPECT_EQ(at(130, 402), rgb(colours::button_panel));
        EXPECT_EQ(at(101, 584), rgb(colours::footer_bar));
        EXPECT_EQ(at(177, bar_y), rgb(colours::progress_frame));
        EXPECT_EQ(at(644, bar_y), rgb(colours::progress_frame));
    }
}

TEST_F(Preview, BusyFillsTheBarToItsPercentAndTurnsEveryActionOff) {
    render(L"busy");
    const int last = 178 + 47 * 466 / 100 - 1;
    EXPECT_EQ(at(178, bar_y), rgb(colours::progress_fill));
    EXPECT_EQ(at(last, bar_y), rgb(colours::progress_fill));
    EXPECT_NE(at(last + 1, bar_y), rgb(colours::progress_fill));
    EXPECT_NE(at(last, 361), rgb(colours::progress_fill)) << "the fill stays inside the frame";
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(face_of(row), rgb(colours::face_off)) << layout::buttons[row].label;
    }
}

TEST_F(Preview, UpdateStateOffersUpdateButNotPlay) {
    render(L"update");
    EXPECT_EQ(face_of(0), rgb(colours::face_off));
    EXPECT_EQ(at(134, 407), rgb(colours::border_off));
    EXPECT_EQ(face_of(1), rgb(colours::face_normal));
    EXPECT_EQ(at(300, 407), rgb(colours::border_normal));
    EXPECT_EQ(at(301, 408), rgb(colours::inner_normal));
    EXPECT_EQ(face_of(2), rgb(colours::face_normal)) << "Check is on whenever not busy";
    EXPECT_EQ(face_of(3), rgb(colours::face_normal)) << "Icons is on whenever not busy";
    EXPECT_EQ(at(178, bar_y), rgb(colours::status_panel)) << "0 % draws no fill";
}

TEST_F(Preview, ErrorPhaseColoursTheTitle) {
    // ClearType blends glyph edges with the panel; the stems of a 23-pixel bold title are
    // solid, so some pixel is the title colour or within a small distance of it.
    constexpr int blended = 12 * 12;
    render(L"error");
    EXPECT_LE(closest_in(layout::title_area, colours::title_error), blended);
    render(L"idle");
    EXPECT_GT(closest_in(layout::title_area, colours::title_error), 100 * 100);
    EXPECT_LE(closest_in(layout::title_area, colours::title), blended);
}

TEST_F(Preview, PercentOutsideTheRangeIsClamped) {
    UiView view = make_preview_view(L"busy");
    view.percent = 150;
    render(view);
    EXPECT_EQ(at(643, bar_y), rgb(colours::progress_fill));
    EXPECT_EQ(at(644, bar_y), rgb(colours::progress_frame));
    view.percent = -5;
    render(view);
    EXPECT_EQ(at(178, bar_y), rgb(colours::status_panel));
}

TEST(PreviewView, UnknownStateIsRejected) {
    EXPECT_EQ(make_preview_view(L"busy").percent, 47);
    EXPECT_TRUE(make_preview_view(L"busy").busy);
    try {
        make_preview_view(L"Idle");
        ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "unknown preview state");
    }
}

TEST(PreviewRender, FailsWithoutArtOrWritablePath) {
    const test::ScopedTempDir dir;
    const UiView view = make_preview_view(L"idle");
    // kernel32 carries no RCDATA 101.
    EXPECT_FALSE(
        render_preview(GetModuleHandleW(L"kernel32.dll"), L"C:\\", view, dir / L"no-art.png"));
    EXPECT_FALSE(std::filesystem::exists(dir / L"no-art.png"));
    EXPECT_FALSE(
        render_preview(GetModuleHandleW(nullptr), L"C:\\", view, dir / L"missing" / L"folder.png"));
}

TEST(BackgroundArt, OnlyA1100By620PngIsAccepted) {
    const GdiplusSession gdiplus;
    ASSERT_TRUE(gdiplus.started());
    const test::ScopedTempDir dir;
    const auto small = dir / L"small.png";
    {
        Gdiplus::Bitmap image(10, 10, PixelFormat32bppARGB);
        CLSID png{};
        CLSIDFromString(L"{557CF406-1A04-11D3-9A73-0000F81EF32E}", &png);
        ASSERT_EQ(image.Save(small.c_str(), &png, nullptr), Gdiplus::Ok);
    }
    const std::string bytes = test::read_raw_file(small);
    EXPECT_FALSE(Background::from_png(bytes.data(), bytes.size()));
    EXPECT_FALSE(Background::from_png("not a png at all", 16));
    EXPECT_FALSE(Background::from_png(bytes.data(), 0));
    EXPECT_FALSE(Background::load(GetModuleHandleW(L"kernel32.dll")));
}

}  // namespace
}  // namespace vorn
