#include "selfupdate/release_build.h"

#include <array>
#include <optional>

namespace vorn {
namespace {

std::optional<std::array<std::uint32_t, 4>> build_numbers(const std::string& text) {
    std::array<std::uint32_t, 4> numbers{};
    std::size_t part = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('.', start);
        const std::string number = text.substr(start, end == std::string::npos ? end : end - start);
        if (part == 4 || number.empty() || number.size() > 5 ||
            (number.size() > 1 && number[0] == '0') ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        numbers[part++] = static_cast<std::uint32_t>(std::stoul(number));
        if (numbers[part - 1] > 65535) {
            return std::nullopt;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return part == 4 ? std::optional(numbers) : std::nullopt;
}

}  // namespace

bool is_build_text(const std::string& text) {
    return build_numbers(text).has_value();
}

bool is_newer_build(const std::string& candidate, const std::string& current) {
    const auto a = build_numbers(candidate);
    const auto b = build_numbers(current);
    return a && b && *a > *b;
}

}  // namespace vorn
