#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "net/winhttp_transport.h"
#include "selfupdate/release_file.h"
#include "selfupdate/code_signature.h"
#include "selfupdate/handover_protocol.h"
#include "support/launcher_error_assert.h"
#include "support/loopback_control.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A minimal program image: what the check looks at, nothing more.
Bytes program(std::uint16_t machine = 0x8664, std::uint16_t characteristics = 0x0022,
              std::uint16_t magic = 0x20B, std::uint32_t pe = 128, std::size_t size = 4096) {
    Bytes image(size, 0);
    image[0] = 'M';
    image[1] = 'Z';
    put_u32_le(image, 60, pe);
    if (pe + 26 <= size) {
        image[pe] = 'P';
        image[pe + 1] = 'E';
        image[pe + 4] = static_cast<std::uint8_t>(machine);
        image[pe + 5] = static_cast<std::uint8_t>(machine >> 8);
        image[pe + 22] = static_cast<std::uint8_t>(characteristics);
        image[pe + 23] = static_cast<std::uint8_t>(characteristics >> 8);
        image[pe + 24] = static_cast<std::uint8_t>(magic);
        image[pe + 25] = static_cast<std::uint8_t>(magic >> 8);
    }
    return image;
}

TEST(ReleaseFile, OnlyA64BitProgramImagePasses) {
    EXPECT_TRUE(is_windows_x64_program(program()));
    const std::vector<std::pair<const char*, Bytes>> refused = {
        {"a 32-bit program", program(0x014C, 0x0102, 0x10B)},
        {"a DLL", program(0x8664, 0x2022)},
        {"not an executable image", program(0x8664, 0x0020)},
        {"a PE32 header", program(0x8664, 0x0022, 0x10B)},
        {"a PE header below 64", program(0x8664, 0x0022, 0x20B, 32)},
        {"a PE header too close to the end", program(0x8664, 0x0022, 0x20B, 4096 - 263)},
        {"a PE header past the end", program(0x8664, 0x0022, 0x20B, 5000)},
        {"no MZ",
         [] {
             Bytes b = program();
             b[0] = 'X';
             return b;
         }()},
        {"too short", Bytes(40, 'M')},
    };
    for (const auto& [what, image] : refused) {
        EXPECT_FALSE(is_windows_x64_program(image)) << what;
    }
    // The test program itself is one.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::string bytes = test::read_raw_file(self);
    EXPECT_TRUE(is_windows_x64_program(Bytes(bytes.begin(), bytes.end())));
}

TEST(ReleaseFile, DownloadsAreProvenBySizeDigestAndImage) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = test::LoopbackServer::new_prefix();
    const fs::path folder = server.root() / fs::path(prefix.substr(1)).make_preferred();
    fs::create_directories(folder);
    const Bytes good = program();
    const Bytes dll = program(0x8664, 0x2022);
    test::write_raw_file(folder / L"good.exe", std::string(good.begin(), good.end()));
    test::write_raw_file(folder / L"dll.exe", std::string(dll.begin(), dll.end()));
    WinHttpTransport transport;
    const auto entry_for = [&](const char* name, const Bytes& bytes) {
        return ReleaseEntry{"2026.10.26.5", sha256_bytes(bytes), bytes.size(),
                            server.url(prefix + name)};
    };
    EXPECT_EQ(download_release_file(transport, UrlTrust::loopback_only, entry_for("good.exe", good),
                                    false),
              good);
    const std::wstring refusal =
        L"Размер, SHA-256 или формат обновления лаунчера не прошли проверку.";
    VORN_EXPECT_ERROR(
        download_release_file(transport, UrlTrust::loopback_only, entry_for("dll.exe", dll), true),
        "self_update_hash", refusal);
    ReleaseEntry wrong_size = entry_for("good.exe", good);
    wrong_size.size += 1;
    VORN_EXPECT_ERROR(download_release_file(transport, UrlTrust::loopback_only, wrong_size, false),
                      "self_update_hash", refusal);
    ReleaseEntry wrong_digest = entry_for("good.exe", good);
    wrong_digest.sha256 = std::string(64, '0');
    VORN_EXPECT_ERROR(
        download_release_file(transport, UrlTrust::loopback_only, wrong_digest, false),
        "self_update_hash", refusal);
    const auto missing = test::capture_error([&] {
        download_release_file(transport, UrlTrust::loopback_only, entry_for("gone.exe", good),
                              false);
    });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->http_status, 404u);
}

TEST(ReleaseState, DigestFilesSignaturesAndQuotes) {
    test::ScopedTempDir dir;
    const std::string digest(64, 'c');
    test::write_raw_file(dir / L"failed.txt", digest + "\r\n");
    EXPECT_EQ(read_digest_file(dir / L"failed.txt"), digest);
    test::write_raw_file(dir / L"bare.txt", digest);
    EXPECT_EQ(read_digest_file(dir / L"bare.txt"), digest);
    test::write_raw_file(dir / L"big.txt", std::string(257, 'c'));
    EXPECT_EQ(read_digest_file(dir / L"big.txt"), "");
    EXPECT_EQ(read_digest_file(dir / L"missing.txt"), "");

    // An unsigned program passes; a file that is no program at all does not.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_TRUE(verify_signature(self));
    test::write_raw_file(dir / L"text.exe", "not a program");
    EXPECT_FALSE(verify_signature(dir / L"text.exe"));

    EXPECT_EQ(quote_path(L"C:\\Games\\Vornell\\element\\VornellUpdater.exe"),
              L"\"C:\\Games\\Vornell\\element\\VornellUpdater.exe\"");
    VORN_EXPECT_ERROR(quote_path(L"C:\\Games\\a\"b\\VornellUpdater.exe"), "self_update_spawn",
                      L"Путь компонента обновления содержит недопустимый символ.");
}

TEST(CodeSignature, OnlyThePinnedSignerPassesWhenPinsAreSet) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::vector<std::string> pins = {std::string(64, 'a'), VORN_TEST_SIGNER_PIN};
    struct Row {
        const char* what;
        fs::path program;
        bool without_pins;  // the plain check
        bool with_pins;
    };
    const Row rows[] = {
        {"unsigned", self, true, false},
        {"signed by another signer", VORN_OTHER_SIGNER_UPDATER, true, false},
        {"signed, then altered", VORN_ALTERED_UPDATER, false, false},
        {"signed by the pinned signer", VORN_SIGNED_UPDATER, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(is_trusted_program(row.program, {}), row.without_pins);
        EXPECT_EQ(is_trusted_program(row.program, pins), row.with_pins);
    }
    // The pin is read from the signature itself: each signer has its own.
    EXPECT_EQ(signer_key_digest(VORN_SIGNED_UPDATER),
              std::optional<std::string>(VORN_TEST_SIGNER_PIN));
    const auto other = signer_key_digest(VORN_OTHER_SIGNER_UPDATER);
    ASSERT_TRUE(other);
    EXPECT_NE(*other, VORN_TEST_SIGNER_PIN);
    EXPECT_EQ(signature_trust_result(VORN_ALTERED_UPDATER), static_cast<long>(TRUST_E_BAD_DIGEST));
}

}  // namespace
}  // namespace vorn
