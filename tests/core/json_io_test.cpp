#include <gtest/gtest.h>

#include "core/file_system.h"
#include "core/json_io.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

const std::wstring bad_format =
    L"Описание обновления имеет повреждённый или неподдерживаемый формат.";

nlohmann::json parse(const std::string& text, const std::string& stage = "manifest_parse") {
    const Bytes bytes(text.begin(), text.end());
    return parse_json_bytes(bytes, stage);
}

std::string nested(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(StrictJson, ParsesOrdinaryDocuments) {
    const auto doc = parse(R"({"b": [1, 2.5, "т"], "a": {"x": null, "y": true}})");
    EXPECT_EQ(doc["b"][2], "т");
    EXPECT_TRUE(doc["a"]["y"].get<bool>());
    // The same key in two different objects is fine.
    EXPECT_NO_THROW(parse(R"({"k": {"k": 1}, "o": [{"k": 1}, {"k": 2}]})"));
}

TEST(StrictJson, RefusesNulByteWithItsOwnMessage) {
    const Bytes with_nul = {'{', '"', 'a', '"', ':', '"', 0, '"', '}'};
    VORN_EXPECT_ERROR(parse_json_bytes(with_nul, "manifest_parse"), "manifest_parse",
                      L"Описание обновления содержит недопустимый нулевой байт.");
}

TEST(StrictJson, RefusesMalformedTextUnderTheGivenStage) {
    for (const char* text : {"", "{", "{\"a\":1} x", "{\"a\":1}{}", "// c\n{}", "{\"a\":1,}",
                             "[1 2]", "{'a':1}", "\"\xff\""}) {
        VORN_EXPECT_ERROR(parse(text, "qa_config"), "qa_config", bad_format) << text;
    }
}

TEST(StrictJson, RefusesDuplicateKeysAtAnyDepth) {
    VORN_EXPECT_ERROR(parse(R"({"a": 1, "a": 1})"), "manifest_parse", bad_format);
    VORN_EXPECT_ERROR(parse(R"({"x": [{"f": 1, "g": 2, "f": 3}]})"), "manifest_parse", bad_format);
}

TEST(StrictJson, DepthBound) {
    EXPECT_NO_THROW(parse(nested(64)));
    VORN_EXPECT_ERROR(parse(nested(65)), "manifest_parse", bad_format);
    EXPECT_NO_THROW(parse(std::string(63, '[') + "{\"k\":1}" + std::string(63, ']')));
    VORN_EXPECT_ERROR(parse(std::string(64, '[') + "{\"k\":1}" + std::string(64, ']')),
                      "manifest_parse", bad_format);
}

TEST(StrictJson, EventBound) {
    // An array of n numbers is n + 2 events (start, values, end).
    auto array_of = [](std::size_t n) {
        std::string text = "[";
        text.reserve(2 * n + 2);
        for (std::size_t i = 0; i < n; ++i) {
            text += i == 0 ? "0" : ",0";
        }
        return text + "]";
    };
    EXPECT_EQ(parse(array_of(json_max_events - 2)).size(), json_max_events - 2);
    VORN_EXPECT_ERROR(parse(array_of(json_max_events - 1)), "manifest_parse", bad_format);
}

TEST(JsonFiles, WritesIndentedSortedUtf8WithFinalNewline) {
    test::ScopedTempDir temp;
    const nlohmann::json doc = {{"schema", 2}, {"a", "ё"}, {"list", {1, 2}}};
    write_json_file(temp / L"state.json", doc);
    EXPECT_EQ(test::read_raw_file(temp / L"state.json"),
              "{\n  \"a\": \"ё\",\n  \"list\": [\n    1,\n    2\n  ],\n  \"schema\": 2\n}\n");
    EXPECT_EQ(read_json_file(temp / L"state.json", 1000), doc);
    EXPECT_EQ(compact_json(doc), R"({"a":"ё","list":[1,2],"schema":2})");
}

TEST(JsonFiles, ReadRefusesOversizeAndDamagedFiles) {
    test::ScopedTempDir temp;
    test::write_raw_file(temp / L"a.json", "{\"a\": 1}");
    VORN_EXPECT_ERROR(read_json_file(temp / L"a.json", 3), "file_limit");
    test::write_raw_file(temp / L"b.json", "{\"a\": ");
    VORN_EXPECT_ERROR(read_json_file(temp / L"b.json", 100), "parse_json", bad_format);
}

TEST(JsonFiles, InvalidUtf8ValueIsRefusedAndNothingIsWritten) {
    test::ScopedTempDir temp;
    const nlohmann::json doc = {{"bad", std::string("\xff")}};
    VORN_EXPECT_ERROR(write_json_file(temp / L"bad.json", doc), "unicode");
    EXPECT_FALSE(std::filesystem::exists(temp / L"bad.json"));
}

}  // namespace
}  // namespace vorn
