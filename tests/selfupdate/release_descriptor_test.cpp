#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "model/endpoints.h"
#include "selfupdate/release_descriptor.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using Json = nlohmann::json;

// The build's own fixed addresses (its web host is a build value).
const std::wstring launcher_url = launcher_download_url();
const std::wstring updater_url = updater_download_url();

ReleaseRules production() {
    return {.trust = UrlTrust::project_hosts,
            .local_test = false,
            .launcher_url = launcher_url,
            .updater_url = updater_url};
}

Json entry(const std::string& build, std::uint64_t size, const std::wstring& url) {
    return {{"build", build},
            {"sha256", std::string(64, 'a')},
            {"size", size},
            {"url", std::string(url.begin(), url.end())}};
}

Json schema2() {
    Json doc = entry("2026.10.26.5", 4096, launcher_url);
    doc["schema"] = 2;
    doc["updater"] = entry("2026.10.26.5", 2048, updater_url);
    return doc;
}

HttpResponse response(const Json& doc, std::uint32_t status = 200) {
    const std::string text = doc.dump();
    return HttpResponse{.status = status, .body = Bytes(text.begin(), text.end())};
}

TEST(ReleaseDescriptor, SchemaOneAndTwoAreRead) {
    const ReleaseDescriptor two = fetch_release_descriptor(response(schema2()), production());
    EXPECT_EQ(two.launcher.build, "2026.10.26.5");
    EXPECT_EQ(two.launcher.size, 4096u);
    EXPECT_EQ(two.launcher.url, launcher_url);
    ASSERT_TRUE(two.updater);
    EXPECT_EQ(two.updater->url, updater_url);
    Json one = schema2();
    one.erase("updater");
    one["schema"] = 1;
    EXPECT_FALSE(fetch_release_descriptor(response(one), production()).updater);
}

struct Row {
    const char* what;
    std::function<void(Json&)> edit;
    const wchar_t* message;
};

TEST(ReleaseDescriptor, EveryRuleRefusesWithItsSentence) {
    const wchar_t* values =
        L"Описание обновления лаунчера содержит некорректную версию, размер или "
        L"SHA-256.";
    const wchar_t* generic = L"Описание или файлы обновления лаунчера не прошли проверку.";
    const wchar_t* address = L"Адрес файла обновления лаунчера не совпадает с доверенным адресом.";
    const std::vector<Row> rows = {
        {"no schema", [](Json& d) { d.erase("schema"); },
         L"Некорректная схема обновления лаунчера."},
        {"a schema as text", [](Json& d) { d["schema"] = "2"; },
         L"Некорректная схема обновления лаунчера."},
        {"schema 3", [](Json& d) { d["schema"] = 3; },
         L"Эта схема обновления лаунчера не поддерживается."},
        {"an updater under schema 1", [](Json& d) { d["schema"] = 1; },
         L"Неизвестное поле в описании обновления лаунчера."},
        {"an unknown key", [](Json& d) { d["channel"] = "beta"; },
         L"Неизвестное поле в описании обновления лаунчера."},
        {"an unknown updater key", [](Json& d) { d["updater"]["note"] = 1; },
         L"Неизвестное поле в описании обновления лаунчера."},
        {"an updater that is no object", [](Json& d) { d["updater"] = "x"; },
         L"Некорректное описание обновления лаунчера."},
        {"no build", [](Json& d) { d.erase("build"); }, generic},
        {"a size as text", [](Json& d) { d["size"] = "4096"; }, generic},
        {"a negative size", [](Json& d) { d["size"] = -1; },
         L"Некорректный размер обновления лаунчера."},
        {"three numbers", [](Json& d) { d["build"] = "2026.10.26"; }, values},
        {"a leading zero", [](Json& d) { d["build"] = "2026.10.26.05"; }, values},
        {"a number past 65535", [](Json& d) { d["build"] = "2026.10.26.65536"; }, values},
        {"an upper-case digest", [](Json& d) { d["sha256"] = std::string(64, 'A'); }, values},
        {"a launcher of 1023 bytes", [](Json& d) { d["size"] = 1023; }, values},
        {"a size past the largest signed number",
         [](Json& d) { d["size"] = std::uint64_t{9223372036854775808u}; }, values},
        {"a launcher of 32 MiB + 1", [](Json& d) { d["size"] = 33554433; }, values},
        {"an updater of 16 MiB + 1", [](Json& d) { d["updater"]["size"] = 16777217; }, values},
        {"another address",
         [](Json& d) {
             std::string url = d["url"];
             d["url"] = url.replace(url.rfind('/'), std::string::npos, "/Other.exe");
         },
         address},
        {"the launcher's address for the updater", [](Json& d) { d["updater"]["url"] = d["url"]; },
         address},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Json doc = schema2();
        row.edit(doc);
        VORN_EXPECT_ERROR(fetch_release_descriptor(response(doc), production()),
                          "self_update_descriptor", row.message);
    }
    VORN_EXPECT_ERROR(fetch_release_descriptor(response(schema2(), 404), production()),
                      "self_update_descriptor", L"Сервер не вернул описание обновления лаунчера.");
    Json smallest = entry("1.0.0.0", 1024, launcher_url);
    smallest["schema"] = 1;
    EXPECT_NO_THROW(fetch_release_descriptor(response(smallest), production()));
}

TEST(ReleaseDescriptor, TheLocalTestModeTakesLoopbackAddressesOnly) {
    const ReleaseRules local{.trust = UrlTrust::loopback_only, .local_test = true};
    Json doc = entry("2026.10.26.5", 4096, L"http://127.0.0.1:8080/VornellLauncher.exe");
    doc["schema"] = 1;
    EXPECT_EQ(fetch_release_descriptor(response(doc), local).launcher.url,
              L"http://127.0.0.1:8080/VornellLauncher.exe");
    doc["url"] = std::string(launcher_url.begin(), launcher_url.end());
    const auto error = test::capture_error([&] { fetch_release_descriptor(response(doc), local); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "self_update_descriptor");
}

TEST(ReleaseDescriptor, Builds) {
    EXPECT_TRUE(is_newer_build("2026.10.26.10", "2026.10.26.4"));
    EXPECT_TRUE(is_newer_build("2027.0.0.0", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26.4", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26.3", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26.05", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26.4.1", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026.10.26.x", "2026.10.26.4"));
    EXPECT_FALSE(is_newer_build("2026..26.5", "2026.10.26.4"));
    EXPECT_TRUE(is_build_text("0.0.0.0"));
    EXPECT_TRUE(is_build_text("65535.65535.65535.65535"));
    EXPECT_FALSE(is_build_text("+1.0.0.0"));
    EXPECT_FALSE(is_build_text(" 1.0.0.0"));
}

}  // namespace
}  // namespace vorn
