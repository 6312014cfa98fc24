#include <gtest/gtest.h>

#include "core/text.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

TEST(Text, RoundTripsCyrillicAndAstralCharacters) {
    const std::wstring wide = L"Проверка \U0001F600 ё";
    const std::string utf8 = to_utf8(wide);
    EXPECT_EQ(utf8, "Проверка \xF0\x9F\x98\x80 ё");
    EXPECT_EQ(to_utf16(utf8), wide);
    EXPECT_EQ(to_utf8(L""), "");
    EXPECT_EQ(to_utf16(""), L"");
}

TEST(Text, RefusesInvalidSequences) {
    VORN_EXPECT_ERROR(to_utf16("abc\xC3"), "unicode",
                      L"Некорректное имя файла в описании обновления.");
    VORN_EXPECT_ERROR(to_utf16("\xC0\xAF"), "unicode");      // overlong slash
    VORN_EXPECT_ERROR(to_utf16("\xED\xA0\x80"), "unicode");  // encoded surrogate
    const std::wstring lone_surrogate(1, static_cast<wchar_t>(0xD800));
    VORN_EXPECT_ERROR(to_utf8(lone_surrogate), "unicode", L"Некорректный путь или текст Unicode.");
}

TEST(Text, CaseFoldings) {
    EXPECT_EQ(lower_ascii(std::string("AbC-Я")), "abc-Я");
    EXPECT_EQ(lower_ascii(std::wstring(L"AbC-Я")), L"abc-Я");
    EXPECT_EQ(lower_wide(L"AbC-ЯЁ"), L"abc-яё");
}

}  // namespace
}  // namespace vorn
