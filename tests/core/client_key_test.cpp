#include <gtest/gtest.h>

#include <windows.h>

#include "core/client_key.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "core/text.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

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

// The key of a folder as the rule reads it: its text with one final backslash, A-Z folded,
// as UTF-16LE.
std::string key_by_rule(std::wstring text) {
    text = lower_ascii(text + L"\\");
    Bytes utf16le;
    for (const wchar_t unit : text) {
        utf16le.push_back(static_cast<std::uint8_t>(unit & 0xff));
        utf16le.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return sha256_bytes(utf16le);
}

TEST(ClientKey, OneFolderHasOneKeyHoweverItIsNamed) {
    test::ScopedTempDir dir;
    const std::filesystem::path client = dir / L"Клиент Vornell Long Name";
    std::filesystem::create_directories(client / L"element");
    // An ordinary long-name root keeps exactly the key it always had.
    EXPECT_EQ(client_key(client), key_by_rule(client.native()));
    EXPECT_EQ(client_key(dir / L"Нет такой папки"),
              key_by_rule((dir / L"Нет такой папки").native()));

    // Another case of the Cyrillic component names the same folder.
    const std::filesystem::path upper = dir / L"КЛИЕНТ VORNELL LONG NAME";
    ASSERT_TRUE(std::filesystem::exists(upper / L"element"));
    EXPECT_EQ(client_key(upper), client_key(client));

    // So does its 8.3 short name, where the file system gives one.
    wchar_t short_name[MAX_PATH];
    const DWORD length = GetShortPathNameW(client.c_str(), short_name, MAX_PATH);
    ASSERT_GT(length, 0u);
    if (std::wstring(short_name, length) == client.native()) {
        GTEST_SKIP() << "this file system gives the folder no short name";
    }
    EXPECT_NE(std::wstring(short_name, length), client.native());
    EXPECT_EQ(client_key(std::wstring(short_name, length)), client_key(client));
}

}  // namespace
}  // namespace vorn
