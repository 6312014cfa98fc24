#include <gtest/gtest.h>

#include "core/launcher_error.h"
#include "core/stage_codes.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

TEST(LauncherError, FreshErrorHasDocumentedDefaults) {
    const LauncherError error("file_read", L"Сообщение.", 5, 404);
    EXPECT_EQ(error.stage, "file_read");
    EXPECT_EQ(error.message, L"Сообщение.");
    EXPECT_STREQ(error.what(), "Сообщение.");
    EXPECT_EQ(error.event, "update_failed");
    EXPECT_EQ(error.content_encoding, "none");
    EXPECT_EQ(error.win32, 5u);
    EXPECT_EQ(error.http_status, 404u);
    EXPECT_EQ(error.bytes, 0u);
    EXPECT_EQ(error.expected_bytes, 0u);
    EXPECT_EQ(error.elapsed_ms, 0u);
    EXPECT_EQ(error.file_count, 0u);
    EXPECT_FALSE(error.parse_ok);
    EXPECT_TRUE(error.archive_path.empty());
    EXPECT_TRUE(error.attempts.is_array());
    EXPECT_TRUE(error.attempts.empty());
}

TEST(LauncherError, CopyAndMoveCarryEveryField) {
    LauncherError original("timeout", L"Текст.", 12002, 503);
    original.event = "manifest_failed";
    original.bytes = 7;
    original.expected_bytes = 9;
    original.elapsed_ms = 11;
    original.file_count = 3;
    original.parse_ok = true;
    original.content_encoding = "gzip";
    original.archive_path = "element/a.pck";
    original.attempts.push_back({{"attempt", 1}});

    const LauncherError copy = original;
    const LauncherError moved = std::move(original);
    for (const LauncherError* e : {&copy, &moved}) {
        EXPECT_EQ(e->stage, "timeout");
        EXPECT_STREQ(e->what(), "Текст.");
        EXPECT_EQ(e->event, "manifest_failed");
        EXPECT_EQ(e->win32, 12002u);
        EXPECT_EQ(e->http_status, 503u);
        EXPECT_EQ(e->bytes, 7u);
        EXPECT_EQ(e->expected_bytes, 9u);
        EXPECT_EQ(e->elapsed_ms, 11u);
        EXPECT_EQ(e->file_count, 3u);
        EXPECT_TRUE(e->parse_ok);
        EXPECT_EQ(e->content_encoding, "gzip");
        EXPECT_EQ(e->archive_path, "element/a.pck");
        EXPECT_EQ(e->attempts.size(), 1u);
    }
}

TEST(LauncherError, Win32TranslatorPicksMessageByCode) {
    struct Case {
        std::uint32_t code;
        std::wstring message;
    };
    const std::wstring generic = L"Не удалось прочитать или сохранить файл.";
    const std::wstring threat = L"Windows заблокировала файл как угрозу. Обновление остановлено.";
    const Case cases[] = {
        {112, L"Недостаточно свободного места на диске."},
        {32, L"Файл занят другой программой. Закройте игру и повторите попытку."},
        {5, L"Нет доступа к файлу или папке клиента."},
        {225, threat},
        {226, threat},
        {224, generic},
        {227, generic},
        {0, generic},
    };
    for (const Case& c : cases) {
        const auto error = test::capture_error([&] { throw_win32_error("file_write", c.code); });
        ASSERT_TRUE(error) << c.code;
        EXPECT_EQ(error->stage, "file_write");
        EXPECT_EQ(error->message, c.message) << c.code;
        EXPECT_EQ(error->win32, c.code);
        EXPECT_EQ(error->http_status, 0u);
    }
}

TEST(LauncherError, TransportTranslatorReplacesStageForKnownCodes) {
    struct Case {
        std::uint32_t code;
        const char* stage;
        std::wstring message;
    };
    const Case cases[] = {
        {12007, "dns", L"Не удалось определить адрес сервера. Проверьте подключение к Интернету."},
        {12175, "tls", L"Windows не смогла проверить защищённое соединение с сервером."},
        {12002, "timeout", L"Сервер не ответил вовремя. Повторите попытку."},
        {12029, "connect", L"Не удалось подключиться к серверу."},
        {12030, "read_body", L"Соединение с сервером было прервано."},
        {12152, "send_request", L"Не удалось связаться с сервером обновлений."},
        {0, "send_request", L"Не удалось связаться с сервером обновлений."},
    };
    for (const Case& c : cases) {
        const LauncherError error = make_transport_error("send_request", c.code);
        EXPECT_EQ(error.stage, c.stage) << c.code;
        EXPECT_EQ(error.message, c.message) << c.code;
        EXPECT_EQ(error.win32, c.code);
        EXPECT_EQ(error.http_status, 0u);
    }
}

TEST(StageCodes, ClosedListAndPrefixedCodes) {
    EXPECT_TRUE(is_known_stage("unknown"));
    EXPECT_TRUE(is_known_stage("manifest_http"));
    EXPECT_TRUE(is_known_stage("guild_http"));  // last of the list
    EXPECT_TRUE(is_known_stage("read_body"));
    EXPECT_FALSE(is_known_stage("self_update_ready"));
    EXPECT_FALSE(is_known_stage("read_file"));  // file-layer stage outside the list
    EXPECT_FALSE(is_known_stage("Manifest_http"));
    EXPECT_FALSE(is_known_stage(""));

    EXPECT_TRUE(is_known_stage("delta_blob_integrity"));
    EXPECT_TRUE(is_known_stage("pck_rebase_tail"));
    EXPECT_TRUE(is_known_stage("delta_"));
    EXPECT_FALSE(is_known_stage("delta_Blob"));
    EXPECT_FALSE(is_known_stage("delta_blob-integrity"));
    EXPECT_FALSE(is_known_stage("pck_rebase"));
    EXPECT_FALSE(is_known_stage("guild_made_up"));

    const std::string at_limit = "delta_" + std::string(58, 'x');
    ASSERT_EQ(at_limit.size(), 64u);
    EXPECT_TRUE(is_known_stage(at_limit));
    EXPECT_FALSE(is_known_stage(at_limit + "x"));
}

}  // namespace
}  // namespace vorn
