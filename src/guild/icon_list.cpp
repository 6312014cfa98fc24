#include "guild/icon_list.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/launcher_error.h"

namespace vorn {
namespace {

constexpr std::size_t longest_stamp = 63;
constexpr std::size_t number_lines = 4;
constexpr std::uint32_t largest_number = 1000000;

[[noreturn]] void fail_text(const wchar_t* message) {
    throw LauncherError("guild_text", message);
}

// The bytes the validation reads: a UTF-16LE list (with its mark) by each unit's low byte,
// anything else as it is without a UTF-8 mark.
std::string list_bytes(ByteView body) {
    if (body.size() >= 2 && body[0] == 0xFF && body[1] == 0xFE) {
        if (body.size() % 2 != 0) {
            fail_text(L"Неверная кодировка таблицы иконок.");
        }
        std::string bytes;
        for (std::size_t i = 2; i < body.size(); i += 2) {
            if (body[i + 1] != 0) {
                fail_text(L"Неверное содержимое таблицы иконок.");
            }
            bytes.push_back(static_cast<char>(body[i]));
        }
        return bytes;
    }
    std::size_t start = 0;
    if (body.size() >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) {
        start = 3;
    }
    return std::string(body.begin() + static_cast<std::ptrdiff_t>(start), body.end());
}

std::vector<std::string_view> non_empty_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

bool is_number_line(std::string_view line) {
    if (line.empty() || line.size() > 8 ||
        !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    std::uint32_t value = 0;
    for (const char c : line) {
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value <= largest_number;
}

bool is_icon_name(std::string_view line) {
    std::string name(line);
    for (char& c : name) {
        c = c == '\\' ? '/' : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    const auto allowed = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    };
    return name.size() >= 5 && name.size() <= 96 && name.ends_with(".dds") &&
           std::all_of(name.begin(), name.end(), allowed);
}

}  // namespace

std::optional<std::string> version_stamp(ByteView body) {
    std::size_t length = body.size();
    while (length > 0 && body[length - 1] <= 0x20) {
        --length;
    }
    if (length == 0 || length > longest_stamp ||
        !std::all_of(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length),
                     [](std::uint8_t c) { return c >= 0x21 && c <= 0x7E; })) {
        return std::nullopt;
    }
    return std::string(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
}

void validate_icon_list(ByteView body) {
    const std::string text = list_bytes(body);
    const std::vector<std::string_view> lines = non_empty_lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i < number_lines ? !is_number_line(lines[i]) : !is_icon_name(lines[i])) {
            fail_text(i < number_lines ? L"Сервер вернул неверную таблицу иконок."
                                       : L"В таблице иконок есть недопустимые имена.");
        }
    }
    if (lines.size() <= number_lines) {
        fail_text(L"Сервер вернул пустую таблицу иконок.");
    }
}

}  // namespace vorn
