#include <gtest/gtest.h>

#include "core/file_system.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

const std::wstring unsafe = L"Описание обновления содержит небезопасный путь.";
const std::wstring invalid_name = L"Описание обновления содержит недопустимое имя файла.";
const std::wstring reserved = L"Описание обновления содержит зарезервированное имя файла.";

const fs::path root = L"C:\\Games\\Client";

TEST(ResolveRelativePath, JoinsUnderRootWithEitherSeparator) {
    EXPECT_EQ(resolve_relative_path(root, "a/b\\c.txt", LinkCheck::skip).native(),
              L"C:\\Games\\Client\\a\\b\\c.txt");
    EXPECT_EQ(
        resolve_relative_path(L"C:\\Games\\.\\Client\\", "element/x.pck", LinkCheck::skip).native(),
        L"C:\\Games\\Client\\element\\x.pck");
    EXPECT_EQ(resolve_relative_path(root, "элемент/файл.txt", LinkCheck::skip).native(),
              L"C:\\Games\\Client\\элемент\\файл.txt");
}

TEST(ResolveRelativePath, RefusesUnsafeShapes) {
    for (const char* relative : {"", "/a", "\\a", "a//b", "a\\\\b", "a/", "./a", "a/./b", "../a",
                                 "a/../../b", "a/b.", "a/b ", "a. /b", "..."}) {
        VORN_EXPECT_ERROR(resolve_relative_path(root, relative, LinkCheck::skip), "unsafe_path",
                          unsafe)
            << '"' << relative << '"';
    }
}

// A short-name spelling could name the updater or another listed file a second time.
TEST(ResolveRelativePath, ShortNameShapesAreRefused) {
    for (const char* relative :
         {"element/VORNEL~1.EXE", "element/vornel~2.exe", "ELEMEN~1/a.pck", "element/MODEL~12.PCK",
          "element/AB~1", "element/A~1.P", "element/~1"}) {
        VORN_EXPECT_ERROR(resolve_relative_path(root, relative, LinkCheck::skip), "unsafe_path",
                          unsafe)
            << relative;
    }
    // Longer than 8.3, or no digit after the tilde: ordinary names.
    for (const char* relative :
         {"element/VornellUpdater~1.exe", "element/models~1.pack", "element/ELEMENT~1",
          "element/a~b.pck", "element/abc~", "element/a.b~1", "element/ab~1.pc.k"}) {
        EXPECT_NO_THROW(resolve_relative_path(root, relative, LinkCheck::skip)) << relative;
    }
}

TEST(ResolveRelativePath, RefusesInvalidCharacters) {
    for (const char* relative :
         {"a\tb", "a|b", "C:/x", "file.txt:stream", "a<b", "a>b", "a\"b", "a?b", "a*b", "a\x1f"}) {
        VORN_EXPECT_ERROR(resolve_relative_path(root, relative, LinkCheck::skip), "unsafe_path",
                          invalid_name)
            << '"' << relative << '"';
    }
    VORN_EXPECT_ERROR(resolve_relative_path(root, "a\xff", LinkCheck::skip), "unicode");
}

TEST(ResolveRelativePath, ReservedDeviceNames) {
    for (const char* relative :
         {"aux.json", "COM7", "lpt9.pck", "Con.txt", "NUL", "lpt1.dat", "dir/prn", "Aux.tar.gz"}) {
        VORN_EXPECT_ERROR(resolve_relative_path(root, relative, LinkCheck::skip), "unsafe_path",
                          reserved)
            << relative;
    }
    for (const char* relative :
         {"auxiliary", "com0", "lpt10", "console", "com10", "nul_x.txt", "xcon"}) {
        EXPECT_NO_THROW(resolve_relative_path(root, relative, LinkCheck::skip)) << relative;
    }
}

TEST(ResolveRelativePath, LengthRule) {
    std::string at_limit;
    while (at_limit.size() < longest_relative_path) {
        at_limit += "aaaaaaaaa/";  // ten characters per component
    }
    at_limit.back() = 'b';
    ASSERT_EQ(at_limit.size(), 30000u);
    EXPECT_NO_THROW(resolve_relative_path(root, at_limit, LinkCheck::skip));
    VORN_EXPECT_ERROR(resolve_relative_path(root, at_limit + "b", LinkCheck::skip), "unsafe_path",
                      unsafe);
}

TEST(ResolveRelativePath, RefusesLinksAlongThePathWhenAsked) {
    VORN_REQUIRE_FIXTURE(links, "links");
    const std::wstring through_link = L"Обновление через ссылки и точки перенаправления запрещено.";
    VORN_EXPECT_ERROR(resolve_relative_path(links, "dir_link/inner.txt", LinkCheck::refuse_links),
                      "unsafe_path", through_link);
    VORN_EXPECT_ERROR(resolve_relative_path(links, "dir_link", LinkCheck::refuse_links),
                      "unsafe_path", through_link);
    EXPECT_EQ(resolve_relative_path(links, "dir_link/inner.txt", LinkCheck::skip),
              links / L"dir_link\\inner.txt");
    EXPECT_EQ(resolve_relative_path(links, "dir_target/inner.txt", LinkCheck::refuse_links),
              links / L"dir_target\\inner.txt");
    // Paths that do not exist yet pass the link check.
    EXPECT_NO_THROW(resolve_relative_path(links, "new/dir/file.bin", LinkCheck::refuse_links));
}

}  // namespace
}  // namespace vorn
