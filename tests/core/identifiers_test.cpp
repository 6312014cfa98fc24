#include <gtest/gtest.h>

#include <regex>

#include "core/hex.h"
#include "core/identifiers.h"
#include "core/sha256.h"
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

TEST(ClientKey, EquivalentSpellingsShareAKey) {
    const std::string key = client_key(L"C:\\Games\\Client");
    EXPECT_TRUE(is_sha256_hex(key));
    EXPECT_EQ(client_key(L"c:/games/client/"), key);
    EXPECT_EQ(client_key(L"C:\\Games\\Client\\\\"), key);
    EXPECT_EQ(client_key(L"C:\\GAMES\\.\\Other\\..\\Client"), key);
    EXPECT_NE(client_key(L"C:\\Games\\Client2"), key);
    EXPECT_NE(client_key(L"D:\\Games\\Client"), key);
    // A client on a network share keeps its share in the key.
    EXPECT_EQ(client_key(L"\\\\Server\\Share\\Client"), client_key(L"//server/share/client/"));
    EXPECT_NE(client_key(L"\\\\Server\\Share\\Client"), client_key(L"Z:\\Server\\Share\\Client"));
}

TEST(ClientKey, IsTheDigestOfTheFoldedUtf16Text) {
    // "c:\games\client\" as UTF-16LE.
    const std::string text = "c:\\games\\client\\";
    Bytes utf16le;
    for (const char c : text) {
        utf16le.push_back(static_cast<std::uint8_t>(c));
        utf16le.push_back(0);
    }
    EXPECT_EQ(client_key(L"C:\\Games\\Client"), sha256_bytes(utf16le));
    // A drive root keeps its own backslash and gains the appended one.
    const Bytes root = {'c', 0, ':', 0, '\\', 0, '\\', 0};
    EXPECT_EQ(client_key(L"C:\\"), sha256_bytes(root));
    // Only A-Z are folded: Cyrillic keeps its case.
    EXPECT_NE(client_key(L"C:\\Игры"), client_key(L"C:\\игры"));
}

TEST(UtcTimestamp, HasTheFixedShape) {
    const std::string stamp = utc_timestamp();
    EXPECT_TRUE(
        std::regex_match(stamp, std::regex(R"(20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\dZ)")))
        << stamp;
}

}  // namespace
}  // namespace vorn
