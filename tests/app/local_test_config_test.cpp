#include <gtest/gtest.h>

#include "app/local_test.h"
#include "core/file_system.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const wchar_t* const needs_fixture =
    L"Локальная проверка требует отдельную папку с маркером fixture.";

class LocalTestConfig : public ::testing::Test {
  protected:
    LocalTestConfig() {
        fs::create_directories(dir / L"client");
        test::write_raw_file(dir / L"client" / L".vornell-local-fixture", "");
    }
    json document() const {
        json config = {{"schema", "vornell.local-test.v1"},
                       {"root", (dir / L"client").string()},
                       {"cache", (dir / L"cache/./x/..").string()}};
        for (const char* key :
             {"manifestUrl", "updateBaseUrl", "guildBaseUrl", "guildFallbackUrl", "releaseUrl",
              "releaseFallbackUrl", "reportUrl", "reportFallbackUrl"}) {
            config[key] = std::string("http://127.0.0.1:1/") + key;
        }
        return config;
    }
    LauncherConfig load(const json& config) const {
        test::write_raw_file(dir / L"qa.json", config.dump());
        return load_local_test_config(dir / L"qa.json");
    }

    test::ScopedTempDir dir;
};

TEST_F(LocalTestConfig, ReplacesFoldersAndEndpoints) {
    const LauncherConfig config = load(document());
    EXPECT_TRUE(config.local_test);
    EXPECT_EQ(config.root, (dir / L"client").native());
    EXPECT_EQ(config.cache_dir, (dir / L"cache\\").native());  // normalised lexically
    EXPECT_EQ(config.local_test_config_path, (dir / L"qa.json").native());
    EXPECT_EQ(config.updater_path, (dir / L"client\\element\\VornellUpdater.exe").native());
    EXPECT_EQ(config.endpoints.manifest_url, L"http://127.0.0.1:1/manifestUrl");
    EXPECT_EQ(config.endpoints.report_fallback_url, L"http://127.0.0.1:1/reportFallbackUrl");
}

TEST_F(LocalTestConfig, RefusesWhatIsNotASeparateFixture) {
    json wrong_schema = document();
    wrong_schema["schema"] = "vornell.local-test.v2";
    VORN_EXPECT_ERROR(load(wrong_schema), "qa_config", L"Некорректный файл локальной проверки.");
    VORN_EXPECT_ERROR(load(json::array()), "qa_config", L"Некорректный файл локальной проверки.");

    json drive_root = document();
    drive_root["root"] = dir.path().root_path().string();
    VORN_EXPECT_ERROR(load(drive_root), "qa_config", needs_fixture);
    json cache_root = document();
    cache_root["cache"] = dir.path().root_path().string();
    VORN_EXPECT_ERROR(load(cache_root), "qa_config", needs_fixture);
    fs::remove(dir / L"client" / L".vornell-local-fixture");
    VORN_EXPECT_ERROR(load(document()), "qa_config", needs_fixture);
}

TEST_F(LocalTestConfig, FolderWithANulByteIsRefused) {
    // Found by the fuzz driver: Win32 calls read "<dir>\\" only, a folder that exists, so the
    // marker check passed for a folder without a marker.
    const std::string cut = (dir.path() / L"").string() + std::string(1, '\0') + "client";
    json root = document();
    root["root"] = cut;
    VORN_EXPECT_ERROR(load(root), "qa_config", needs_fixture);
    json cache = document();
    cache["cache"] = cut;
    VORN_EXPECT_ERROR(load(cache), "qa_config", needs_fixture);
}

TEST_F(LocalTestConfig, MissingOrMistypedKeysFailTheStart) {
    json missing = document();
    missing.erase("reportUrl");
    EXPECT_THROW(load(missing), std::exception);
    json mistyped = document();
    mistyped["root"] = 5;
    EXPECT_THROW(load(mistyped), std::exception);
    // Not a LauncherError: the start-up ends with exit code 2 and no message of its own.
    EXPECT_FALSE(test::capture_error([&] {
        try {
            load(missing);
        } catch (const LauncherError&) {
            throw;
        } catch (const std::exception&) {
        }
    }));
}

}  // namespace
}  // namespace vorn
