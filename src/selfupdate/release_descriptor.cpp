#include "selfupdate/release_descriptor.h"

#include <set>

#include "core/hex.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {
namespace {

using Json = nlohmann::json;

[[noreturn]] void fail_descriptor(const wchar_t* message) {
    throw LauncherError("self_update_descriptor", message);
}

void check_keys(const Json& value, const std::set<std::string>& allowed) {
    if (!value.is_object()) {
        fail_descriptor(L"Некорректное описание обновления лаунчера.");
    }
    for (const auto& [key, member] : value.items()) {
        if (!allowed.contains(key)) {
            fail_descriptor(L"Неизвестное поле в описании обновления лаунчера.");
        }
    }
}

const Json& member(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        fail_descriptor(L"Описание или файлы обновления лаунчера не прошли проверку.");
    }
    return *found;
}

std::string text_of(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (!value.is_string()) {
        fail_descriptor(L"Описание или файлы обновления лаунчера не прошли проверку.");
    }
    return value.get<std::string>();
}

std::uint64_t size_of(const Json& object) {
    const Json& value = member(object, "size");
    if (!value.is_number()) {
        fail_descriptor(L"Описание или файлы обновления лаунчера не прошли проверку.");
    }
    // Only a signed number can be negative: an unsigned one above the largest signed value
    // would wrap if read as signed, and is refused below as a wrong size.
    if (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0) {
        fail_descriptor(L"Некорректный размер обновления лаунчера.");
    }
    if (!value.is_number_unsigned()) {
        // A fraction is no size: refused with the values' sentence below.
        return 0;
    }
    return value.get<std::uint64_t>();
}

}  // namespace

ReleaseEntry parse_release_entry(const Json& value, const ReleaseRules& rules, bool is_updater) {
    ReleaseEntry entry;
    entry.build = text_of(value, "build");
    entry.sha256 = text_of(value, "sha256");
    entry.size = size_of(value);
    const std::string url = text_of(value, "url");
    const std::uint64_t largest = is_updater ? largest_updater_file : largest_launcher_file;
    if (!is_build_text(entry.build) || !is_sha256_hex(entry.sha256) ||
        entry.size < smallest_release_file || entry.size > largest) {
        fail_descriptor(
            L"Описание обновления лаунчера содержит некорректную версию, размер или "
            L"SHA-256.");
    }
    try {
        entry.url = to_utf16(url);
    } catch (const LauncherError&) {
        fail_descriptor(L"Адрес файла обновления лаунчера не совпадает с доверенным адресом.");
    }
    try {
        require_trusted_url(entry.url, rules.trust);
    } catch (LauncherError& error) {
        error.stage = "self_update_descriptor";
        throw;
    }
    if (!rules.local_test && entry.url != (is_updater ? rules.updater_url : rules.launcher_url)) {
        fail_descriptor(L"Адрес файла обновления лаунчера не совпадает с доверенным адресом.");
    }
    return entry;
}

ReleaseDescriptor fetch_release_descriptor(const HttpResponse& response,
                                           const ReleaseRules& rules) {
    if (response.status != 200) {
        fail_descriptor(L"Сервер не вернул описание обновления лаунчера.");
    }
    const Json root = parse_json_bytes(response.body, "self_update_descriptor");
    if (!root.is_object() || !root.contains("schema") || !root["schema"].is_number_integer()) {
        fail_descriptor(L"Некорректная схема обновления лаунчера.");
    }
    const std::int64_t schema = root["schema"].get<std::int64_t>();
    if (schema != 1 && schema != 2) {
        fail_descriptor(L"Эта схема обновления лаунчера не поддерживается.");
    }
    std::set<std::string> allowed = {"schema", "build", "sha256", "size", "url"};
    if (schema == 2) {
        allowed.insert("updater");
    }
    check_keys(root, allowed);
    ReleaseDescriptor descriptor{parse_release_entry(root, rules, false), std::nullopt};
    if (root.contains("updater")) {
        check_keys(root["updater"], {"build", "sha256", "size", "url"});
        descriptor.updater = parse_release_entry(root["updater"], rules, true);
    }
    return descriptor;
}

}  // namespace vorn
