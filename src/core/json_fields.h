// Reading the members of a parsed JSON document: every document reader asks the same
// questions (exactly these keys? a text of at most so many bytes? a whole size?) and
// refuses with its own stage and message.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

namespace vorn {

inline constexpr std::size_t longest_json_text = 4096;

class JsonFields {
  public:
    // Every refusal throws LauncherError(stage, message).
    JsonFields(const char* stage, const wchar_t* message) : stage_(stage), message_(message) {}

    [[noreturn]] void refuse() const;

    // An object with exactly these keys. The strict parser already refused duplicate keys,
    // so the count and the presence of each key settle it.
    void expect_keys(const nlohmann::json& value, std::initializer_list<const char*> keys) const;
    // An object holding `key`; refused when `object` is not an object or lacks it.
    const nlohmann::json& member(const nlohmann::json& object, const char* key) const;
    // The member when present; null when absent. Refused when `object` is not an object.
    const nlohmann::json* find(const nlohmann::json& object, const char* key) const;

    // A string of at most `limit` bytes with no NUL inside.
    const std::string& text(const nlohmann::json& value,
                            std::size_t limit = longest_json_text) const;
    // A JSON integer of either signedness from 0 to `largest`; a float such as 12.0 is
    // refused, not rounded.
    std::uint64_t size(const nlohmann::json& value, std::uint64_t largest) const;
    bool boolean(const nlohmann::json& value) const;

  private:
    const char* stage_;
    const wchar_t* message_;
};

}  // namespace vorn
