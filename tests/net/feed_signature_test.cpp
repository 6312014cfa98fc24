#include "net/feed_signature.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/launcher_error_assert.h"
#include "support/signed_seed.h"

namespace vorn {
namespace {

using nlohmann::json;

const json good = json::parse(test::seed_signature);

FeedSignature parse_text(const std::string& text) {
    return parse_feed_signature(
        ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(FeedSignature, ReadsTheFormAndSignsEveryFieldButTheSignature) {
    const FeedSignature signature = parse_text(good.dump());
    EXPECT_EQ(signature.sequence, 5u);
    EXPECT_EQ(signature.expires_at, 4102444799);
    const FeedKey key = test::seed_key();
    EXPECT_NO_THROW(check_feed_signature(signature, {&key, 1}, SignedKind::manifest,
                                         test::bytes_of(test::seed_document), utc_now()));
    EXPECT_EQ(signed_message(signature),
              "vornell.feed-signature.v1\n104d7ec419b956f9\nmanifest\n"
              "4b75ee8eba3d2f044c82914b03e387065d94d60fa35fd221209dc656878ca731\n17\n5\n"
              "2099-12-31T23:59:59Z\n");
}

// Every departure from the form is refused before any key is looked at.
TEST(FeedSignature, RefusesEverythingOutsideTheForm) {
    const std::vector<std::pair<const char*, json>> changes = {
        {"schema", "vornell.feed-signature.v2"},
        {"key", "104D7EC419B956F9"},
        {"key", "104d7ec419b956f"},
        {"kind", "guild"},
        {"sha256", "4b75"},
        {"size", 0},
        {"size", 16777217},
        {"size", 17.0},
        {"size", "17"},
        {"sequence", 0},
        {"sequence", 9007199254740992ull},
        {"sequence", -5},
        {"expires", "2099-12-31 23:59:59Z"},
        {"expires", "2099-02-30T00:00:00Z"},
        {"expires", "2099-12-31T24:00:00Z"},
        {"expires", "1969-12-31T23:59:59Z"},
        {"signature", std::string(126, 'a')},
        {"signature", nullptr},
        {"extra", 1},
    };
    for (const auto& [key, value] : changes) {
        json document = good;
        document[key] = value;
        VORN_EXPECT_ERROR(parse_text(document.dump()), "feed_signature_form",
                          L"Подпись описания обновления повреждена. Ничего не изменено.")
            << key << " = " << value.dump();
    }
    json missing = good;
    missing.erase("sequence");
    for (const std::string& text : std::vector<std::string>{missing.dump(), good.dump() + "x",
                                                            good.dump() + std::string(4096, ' '),
                                                            "[]", R"({"key": "a", "key": "b"})"}) {
        EXPECT_THROW(parse_text(text), LauncherError) << text.substr(0, 60);
    }
}

TEST(FeedSignature, ReadsUtcTimesOfTheCalendarOnly) {
    EXPECT_EQ(parse_utc_time("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parse_utc_time("2024-02-29T12:00:00Z"), 1709208000);
    EXPECT_EQ(parse_utc_time("2023-02-29T12:00:00Z"), std::nullopt);
    EXPECT_EQ(parse_utc_time("2024-04-31T00:00:00Z"), std::nullopt);
    EXPECT_EQ(parse_utc_time("2024-01-01T00:00:00+00:00"), std::nullopt);
    EXPECT_EQ(parse_utc_time("2024-01-01t00:00:00Z"), std::nullopt);
    EXPECT_GT(utc_now(), *parse_utc_time("2026-01-01T00:00:00Z"));
}

}  // namespace
}  // namespace vorn
