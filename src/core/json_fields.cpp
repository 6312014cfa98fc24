#include "core/json_fields.h"

#include "core/launcher_error.h"

namespace vorn {

using nlohmann::json;

void JsonFields::refuse() const {
    throw LauncherError(stage_, message_);
}

void JsonFields::expect_keys(const json& value, std::initializer_list<const char*> keys) const {
    if (!value.is_object() || value.size() != keys.size()) {
        refuse();
    }
    for (const char* key : keys) {
        if (value.find(key) == value.end()) {
            refuse();
        }
    }
}

const json& JsonFields::member(const json& object, const char* key) const {
    const json* found = find(object, key);
    if (found == nullptr) {
        refuse();
    }
    return *found;
}

const json* JsonFields::find(const json& object, const char* key) const {
    if (!object.is_object()) {
        refuse();
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const std::string& JsonFields::text(const json& value, std::size_t limit) const {
    if (!value.is_string()) {
        refuse();
    }
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > limit || text.find('\0') != std::string::npos) {
        refuse();
    }
    return text;
}

std::uint64_t JsonFields::size(const json& value, std::uint64_t largest) const {
    if (!value.is_number_integer()) {
        refuse();
    }
    std::uint64_t size = 0;
    if (value.is_number_unsigned()) {
        size = value.get<std::uint64_t>();
    } else {
        const std::int64_t signed_size = value.get<std::int64_t>();
        if (signed_size < 0) {
            refuse();
        }
        size = static_cast<std::uint64_t>(signed_size);
    }
    if (size > largest) {
        refuse();
    }
    return size;
}

bool JsonFields::boolean(const json& value) const {
    if (!value.is_boolean()) {
        refuse();
    }
    return value.get<bool>();
}

}  // namespace vorn
