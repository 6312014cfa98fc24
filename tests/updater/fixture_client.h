// A fixture client for the updater's tests: the fixture marker, a local-test configuration
// naming a state folder of its own, and the options of a hand-over to it.
#pragma once

#include <filesystem>
#include <string>

#include "model/local_test_config.h"
#include "support/temp_dir.h"
#include "updater/updater_options.h"

namespace vorn::test {

inline const std::string new_sha(64, 'e');
inline const std::string ready_id(32, '5');

namespace fs = std::filesystem;

struct FixtureClient {
    test::ScopedTempDir root;
    test::ScopedTempDir state;
    UpdaterOptions options;

    FixtureClient() {
        test::write_raw_file(root / fixture_marker_name, "fixture");
        const std::string config = R"({"schema": "vornell.local-test.v1", "root": )" +
                                   quoted(root.path()) + R"(, "cache": )" + quoted(state.path()) +
                                   R"(, "manifestUrl": "",
            "updateBaseUrl": "", "guildBaseUrl": "", "guildFallbackUrl": "",
            "releaseUrl": "", "releaseFallbackUrl": "", "reportUrl": "",
            "reportFallbackUrl": ""})";
        test::write_raw_file(root / L"qa.json", config);
        options.launcher = root / L"VornellLauncher.exe";
        options.sha256 = new_sha;
        options.staged = root / (L"VornellLauncher.update." +
                                 std::wstring(new_sha.begin(), new_sha.end()) + L".exe");
        options.local_test_config = root / L"qa.json";
    }
    static std::string quoted(const fs::path& path) {
        std::string text = "\"";
        for (const char c : path.string()) {
            text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        return text + "\"";
    }
    // The hand-over of a build with this digest.
    void expect_build(const std::string& sha256) {
        options.sha256 = sha256;
        options.staged = root / (L"VornellLauncher.update." +
                                 std::wstring(sha256.begin(), sha256.end()) + L".exe");
    }
    fs::path updater() const { return root / L"element" / L"VornellUpdater.exe"; }
};

}  // namespace vorn::test
