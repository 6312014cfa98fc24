#include "core/json_io.h"

#include <algorithm>
#include <set>
#include <vector>

#include "core/file_system.h"
#include "core/launcher_error.h"

namespace vorn {
namespace {

// Thrown by the parse observer to stop the parser at the first bound it breaks.
struct JsonBoundExceeded {};

class StrictJsonObserver {
  public:
    bool operator()(int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (++events_ > json_max_events) {
            throw JsonBoundExceeded{};
        }
        switch (event) {
            case Event::object_start:
            case Event::array_start:
                // `depth` counts the containers around this one.
                if (depth >= json_max_depth) {
                    throw JsonBoundExceeded{};
                }
                if (event == Event::object_start) {
                    keys_.emplace_back();
                }
                break;
            case Event::object_end:
                keys_.pop_back();
                break;
            case Event::key:
                if (!keys_.back().insert(parsed.get<std::string>()).second) {
                    throw JsonBoundExceeded{};
                }
                break;
            default:
                break;
        }
        return true;
    }

  private:
    std::uint64_t events_ = 0;
    std::vector<std::set<std::string>> keys_;
};

}  // namespace

nlohmann::json parse_json_bytes(ByteView bytes, const std::string& stage) {
    if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
        throw LauncherError(stage, L"Описание обновления содержит недопустимый нулевой байт.");
    }
    try {
        StrictJsonObserver observer;
        return nlohmann::json::parse(bytes.begin(), bytes.end(), std::ref(observer), true, false);
    } catch (const JsonBoundExceeded&) {
    } catch (const nlohmann::json::exception&) {
    }
    throw LauncherError(stage,
                        L"Описание обновления имеет повреждённый или неподдерживаемый формат.");
}

nlohmann::json read_json_file(const std::filesystem::path& path, std::uint64_t limit) {
    const Bytes bytes = read_file_limited(path, limit);
    return parse_json_bytes(bytes, "parse_json");
}

void write_json_file(const std::filesystem::path& path, const nlohmann::json& document,
                     const std::function<void()>& before_replace) {
    std::string text;
    try {
        text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        // Only invalid UTF-8 in a string value makes the strict dump fail.
        throw LauncherError("unicode", L"Ошибка преобразования Unicode.");
    }
    text.push_back('\n');
    write_text_file_atomic(path, text, before_replace);
}

std::string compact_json(const nlohmann::json& document) {
    try {
        return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        throw LauncherError("unicode", L"Ошибка преобразования Unicode.");
    }
}

}  // namespace vorn
