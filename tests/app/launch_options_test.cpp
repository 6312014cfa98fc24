#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "app/launch_options.h"

namespace vorn {
namespace {

using Args = std::vector<std::wstring>;
const std::wstring token(32, L'a');

std::string error_of(const Args& args) {
    try {
        parse_launch_options(args);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(LaunchOptions, NoArgumentsIsTheDefaultWindowRun) {
    const LaunchOptions options = parse_launch_options({});
    EXPECT_TRUE(options.qa_config_path.empty());
    EXPECT_TRUE(options.preview_output_path.empty());
    EXPECT_EQ(options.preview_state, L"idle");
    EXPECT_EQ(options.qa_action, Action::startup);
    EXPECT_FALSE(options.has_qa_action);
    EXPECT_FALSE(options.has_health_token);
}

TEST(LaunchOptions, HeadlessRunOptions) {
    const LaunchOptions options = parse_launch_options(
        {L"--qa-config", L"C:\\t\\cfg.json", L"--qa-action", L"update", L"--qa-result", L"r.json"});
    EXPECT_EQ(options.qa_config_path, L"C:\\t\\cfg.json");
    // A bare result name is made absolute at once: the result is written beside it later,
    // and a name without a folder has no folder to write the temporary into.
    EXPECT_EQ(options.qa_result_path, (std::filesystem::current_path() / L"r.json").native());
    EXPECT_EQ(options.qa_action, Action::update);
    EXPECT_TRUE(options.has_qa_action);
    for (const auto& [word, action] : {std::pair{L"startup", Action::startup},
                                       {L"check", Action::check},
                                       {L"icons", Action::icons}}) {
        EXPECT_EQ(parse_launch_options({L"--qa-config", L"c", L"--qa-action", word}).qa_action,
                  action);
    }
    // A configuration alone runs the window against it.
    EXPECT_NO_THROW(parse_launch_options({L"--qa-config", L"c"}));
    EXPECT_NO_THROW(parse_launch_options({L"--qa-config", L"c", L"--render-preview", L"p.png"}));
}

TEST(LaunchOptions, HealthTokenForms) {
    const LaunchOptions spaced = parse_launch_options({L"--update-health-token", token});
    const LaunchOptions joined = parse_launch_options({L"--update-health-token=" + token});
    EXPECT_TRUE(spaced.has_health_token);
    EXPECT_EQ(spaced.health_token, std::string(32, 'a'));
    EXPECT_EQ(joined.health_token, spaced.health_token);
    EXPECT_EQ(parse_launch_options({L"--update-health-token=0123456789abcdef0123456789abcdef"})
                  .health_token,
              "0123456789abcdef0123456789abcdef");

    std::wstring upper = token;
    upper[5] = L'A';
    EXPECT_EQ(error_of({L"--update-health-token", upper}), "invalid health token");
    EXPECT_EQ(error_of({L"--update-health-token=" + std::wstring(31, L'a')}),
              "invalid health token");
    EXPECT_EQ(error_of({L"--update-health-token=" + std::wstring(33, L'a')}),
              "invalid health token");
    EXPECT_EQ(error_of({L"--update-health-token="}), "invalid health token");
    EXPECT_EQ(error_of({L"--update-health-token=" + token, L"--update-health-token", token}),
              "unsupported or duplicated launcher argument");
}

TEST(LaunchOptions, PreviewStateWord) {
    EXPECT_EQ(parse_launch_options({L"--render-preview", L"p.png", L"busy"}).preview_state,
              L"busy");
    const LaunchOptions next_option =
        parse_launch_options({L"--render-preview", L"p.png", L"--qa-config", L"c.json"});
    EXPECT_EQ(next_option.preview_state, L"idle");
    EXPECT_EQ(next_option.qa_config_path, L"c.json");
    // The word itself is checked by the preview, not here.
    EXPECT_EQ(parse_launch_options({L"--render-preview", L"p.png", L"nonsense"}).preview_state,
              L"nonsense");
}

TEST(LaunchOptions, ErrorsWhileParsing) {
    EXPECT_EQ(error_of({L"--qa-config"}), "missing argument value");
    EXPECT_EQ(error_of({L"--qa-config", L"c", L"--qa-action"}), "missing argument value");
    EXPECT_EQ(error_of({L"--update-health-token"}), "missing argument value");
    EXPECT_EQ(error_of({L"--render-preview"}), "missing argument value");
    EXPECT_EQ(error_of({L"--qa-config", L""}), "empty path argument");
    EXPECT_EQ(error_of({L"--qa-result", L""}), "empty path argument");
    EXPECT_EQ(error_of({L"--render-preview", L""}), "empty path argument");
    EXPECT_EQ(error_of({L"--qa-config", L"c", L"--qa-action", L"Check"}), "unknown QA action");
    EXPECT_EQ(error_of({L"--qa-config", L"c", L"--qa-action", L"repair"}), "unknown QA action");
    EXPECT_EQ(error_of({L"--help"}), "unsupported or duplicated launcher argument");
    EXPECT_EQ(error_of({L"--QA-CONFIG", L"c"}), "unsupported or duplicated launcher argument");
    EXPECT_EQ(error_of({L"--qa-config=c"}), "unsupported or duplicated launcher argument");
    EXPECT_EQ(error_of({L"--qa-config", L"a", L"--qa-config", L"b"}),
              "unsupported or duplicated launcher argument");
    EXPECT_EQ(error_of({L"--qa-config", L"a", L"--qa-action", L"check", L"--qa-action", L"check"}),
              "unsupported or duplicated launcher argument");
    EXPECT_EQ(error_of({L"--render-preview", L"a.png", L"busy", L"idle"}),
              "unsupported or duplicated launcher argument");
    // The first fault met while parsing wins over the checks after the last argument.
    EXPECT_EQ(error_of({L"--qa-action", L"check", L"--bogus"}),
              "unsupported or duplicated launcher argument");
}

TEST(LaunchOptions, ChecksAfterTheLastArgumentInTableOrder) {
    EXPECT_EQ(error_of({L"--qa-action", L"check"}),
              "QA action requires an explicit local test configuration");
    EXPECT_EQ(error_of({L"--qa-result", L"r.json"}),
              "QA action requires an explicit local test configuration");
    EXPECT_EQ(error_of({L"--render-preview", L"p.png", L"--update-health-token", token}),
              "preview cannot execute an operation");
    EXPECT_EQ(
        error_of({L"--qa-config", L"c", L"--render-preview", L"p.png", L"--qa-action", L"check"}),
        "preview cannot execute an operation");
    EXPECT_EQ(error_of({L"--qa-config", L"c", L"--render-preview", L"p.png", L"--qa-result", L"r"}),
              "preview cannot execute an operation");
    // Token beats the configuration rule, which beats the preview rule.
    EXPECT_EQ(error_of({L"--qa-action", L"check", L"--update-health-token", L"x"}),
              "invalid health token");
    EXPECT_EQ(error_of({L"--render-preview", L"p.png", L"--qa-action", L"check"}),
              "QA action requires an explicit local test configuration");
}

}  // namespace
}  // namespace vorn
