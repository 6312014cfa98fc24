#include "app/launch_options.h"

#include <stdexcept>
#include <string_view>

#include "core/file_system.h"
#include "selfupdate/health_file.h"

namespace vorn {
namespace {

constexpr std::wstring_view health_option = L"--update-health-token";
constexpr std::wstring_view health_option_inline = L"--update-health-token=";

[[noreturn]] void option_error(const char* text) {
    throw std::invalid_argument(text);
}

// Walks the arguments in order; every option reads its value through next_value().
class OptionReader {
  public:
    explicit OptionReader(const std::vector<std::wstring>& args) : args_(args) {}

    bool done() const { return index_ >= args_.size(); }
    const std::wstring& take() { return args_[index_++]; }

    const std::wstring& next_value() {
        if (done()) {
            option_error("missing argument value");
        }
        return take();
    }

    const std::wstring& next_path() {
        const std::wstring& value = next_value();
        if (value.empty()) {
            option_error("empty path argument");
        }
        return value;
    }

    // The optional word after a preview path: present and not the next option.
    bool next_is_plain_word() const {
        return !done() && !std::wstring_view(args_[index_]).starts_with(L"--");
    }

  private:
    const std::vector<std::wstring>& args_;
    std::size_t index_ = 0;
};

void refuse_repeat(bool present) {
    if (present) {
        option_error("unsupported or duplicated launcher argument");
    }
}

}  // namespace

LaunchOptions parse_launch_options(const std::vector<std::wstring>& args) {
    LaunchOptions options;
    std::wstring token;
    OptionReader reader(args);
    while (!reader.done()) {
        const std::wstring& arg = reader.take();
        if (arg == L"--qa-config") {
            refuse_repeat(!options.qa_config_path.empty());
            options.qa_config_path = reader.next_path();
        } else if (arg == L"--qa-result") {
            refuse_repeat(!options.qa_result_path.empty());
            // Absolute now: the result file's folder must be known when it is written.
            options.qa_result_path = absolute_normal(reader.next_path()).native();
        } else if (arg == L"--qa-action") {
            refuse_repeat(options.has_qa_action);
            const auto action = action_from_name(reader.next_value());
            if (!action) {
                option_error("unknown QA action");
            }
            options.qa_action = *action;
            options.has_qa_action = true;
        } else if (arg == L"--render-preview") {
            refuse_repeat(!options.preview_output_path.empty());
            options.preview_output_path = reader.next_path();
            if (reader.next_is_plain_word()) {
                options.preview_state = reader.take();
            }
        } else if (arg == health_option) {
            refuse_repeat(options.has_health_token);
            token = reader.next_value();
            options.has_health_token = true;
        } else if (std::wstring_view(arg).starts_with(health_option_inline)) {
            refuse_repeat(options.has_health_token);
            token = arg.substr(health_option_inline.size());
            options.has_health_token = true;
        } else {
            option_error("unsupported or duplicated launcher argument");
        }
    }

    if (options.has_health_token) {
        if (!is_health_token(token)) {
            option_error("invalid health token");
        }
        // Validated as 32 ASCII hex digits, so the UTF-8 form is the same characters.
        for (const wchar_t c : token) {
            options.health_token.push_back(static_cast<char>(c));
        }
    }
    if ((options.has_qa_action || !options.qa_result_path.empty()) &&
        options.qa_config_path.empty()) {
        option_error("QA action requires an explicit local test configuration");
    }
    if (!options.preview_output_path.empty() &&
        (options.has_qa_action || !options.qa_result_path.empty() || options.has_health_token)) {
        option_error("preview cannot execute an operation");
    }
    return options;
}

}  // namespace vorn
