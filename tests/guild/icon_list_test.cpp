#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guild/icon_list.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The list as UTF-16LE with its mark, each character one code unit.
Bytes utf16(const std::u16string& text) {
    Bytes out = {0xFF, 0xFE};
    for (const char16_t unit : text) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return out;
}

struct ListRow {
    const char* what;
    Bytes body;
    const wchar_t* refusal;  // null: accepted
};

const wchar_t* const bad_numbers = L"Сервер вернул неверную таблицу иконок.";
const wchar_t* const bad_names = L"В таблице иконок есть недопустимые имена.";
const wchar_t* const empty_list = L"Сервер вернул пустую таблицу иконок.";

TEST(IconList, EveryRuleOfTheList) {
    const std::string numbers = "1\n22\n333\n1000000\n";
    const std::vector<ListRow> rows = {
        {"plain lines", bytes_of(numbers + "clan_1.dds\n"), nullptr},
        {"CR LF, empty lines, a UTF-8 mark",
         bytes_of("\xEF\xBB\xBF"
                  "1\r\n\r\n2\r\n3\r\n4\r\n\nA-b.C_9.DDS\r\n"),
         nullptr},
        {"UTF-16 with ASCII only", utf16(u"1\n2\n3\n4\nclan.dds\n"), nullptr},
        {"UTF-16 with a Cyrillic letter", utf16(u"1\n2\n3\n4\nклан.dds\n"),
         L"Неверное содержимое таблицы иконок."},
        {"UTF-16 of odd length",
         [] {
             Bytes b = utf16(u"1\n2\n3\n4\nclan.dds\n");
             b.push_back('x');
             return b;
         }(),
         L"Неверная кодировка таблицы иконок."},
        {"a number above a million", bytes_of("1\n2\n3\n1000001\nclan.dds\n"), bad_numbers},
        {"a number of nine digits", bytes_of("000000001\n2\n3\n4\nclan.dds\n"), bad_numbers},
        {"a signed number", bytes_of("-1\n2\n3\n4\nclan.dds\n"), bad_numbers},
        {"a name line among the numbers", bytes_of("1\n2\nclan.dds\n4\nclan.dds\n"), bad_numbers},
        {"a backslash in a name", bytes_of(numbers + "sub\\clan.dds\n"), bad_names},
        {"a slash in a name", bytes_of(numbers + "sub/clan.dds\n"), bad_names},
        {"a name not ending in .dds", bytes_of(numbers + "clan.png\n"), bad_names},
        {"a name of four characters", bytes_of(numbers + ".dds\n"), bad_names},
        {"a name of 97 characters", bytes_of(numbers + std::string(93, 'a') + ".dds\n"), bad_names},
        {"a name of 96 characters", bytes_of(numbers + std::string(92, 'a') + ".dds\n"), nullptr},
        {"a space in a name", bytes_of(numbers + "clan 1.dds\n"), bad_names},
        {"only the numbers", bytes_of(numbers), empty_list},
        {"nothing but empty lines", bytes_of("\n\r\n\n"), empty_list},
    };
    for (const ListRow& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.refusal) {
            VORN_EXPECT_ERROR(validate_icon_list(row.body), "guild_text", row.refusal);
        } else {
            EXPECT_NO_THROW(validate_icon_list(row.body));
        }
    }
}

TEST(IconList, VersionStamp) {
    EXPECT_EQ(version_stamp(bytes_of("2026-12-09.1  \r\n")), "2026-12-09.1");
    EXPECT_EQ(version_stamp(bytes_of(std::string(63, 'v'))), std::string(63, 'v'));
    EXPECT_FALSE(version_stamp(bytes_of(std::string(64, 'v'))));
    EXPECT_FALSE(version_stamp(bytes_of("1 2")));  // an inner space
    EXPECT_FALSE(version_stamp(bytes_of(" \r\n")));
    EXPECT_FALSE(version_stamp(bytes_of("")));
    EXPECT_FALSE(version_stamp(bytes_of("v\x7F")));
    EXPECT_FALSE(version_stamp(bytes_of("\xD0\xB2")));  // not ASCII
}

}  // namespace
}  // namespace vorn
