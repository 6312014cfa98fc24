#include <gtest/gtest.h>

#include <regex>

#include "core/identifiers.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

bool is_lower_hex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(RandomHex, LengthsBoundsAndFreshness) {
    EXPECT_EQ(random_hex(0), "");
    const std::string id = random_hex(16);
    EXPECT_EQ(id.size(), 32u);
    EXPECT_TRUE(is_lower_hex(id));
    EXPECT_EQ(random_hex(128).size(), 256u);
    VORN_EXPECT_ERROR(random_hex(129), "crypto", L"Недопустимый размер случайного идентификатора.");
    EXPECT_NE(random_hex(16), random_hex(16));
}

TEST(UtcTimestamp, HasTheFixedShape) {
    const std::string stamp = utc_timestamp();
    EXPECT_TRUE(
        std::regex_match(stamp, std::regex(R"(20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\dZ)")))
        << stamp;
}

}  // namespace
}  // namespace vorn
