#include "model/manifest.h"

#include <windows.h>

#include "core/text.h"

namespace vorn {

std::string normalize_manifest_path(std::string_view path) {
    return forward_slashes(lower_ascii(std::string(path)));
}

std::wstring manifest_path_identity(std::string_view path) {
    std::wstring identity = forward_slashes(to_utf16(path));
    if (!identity.empty()) {
        CharUpperBuffW(identity.data(), static_cast<DWORD>(identity.size()));
    }
    return identity;
}

bool is_guild_icon_list_path(std::string_view path) {
    const std::string normal = normalize_manifest_path(path);
    return normal == "element/userdata/usericon/iconlist_guild.txt" ||
           normal == "element/userdata/usericon/iconlist_guild.png";
}

bool is_updater_path(std::string_view path) {
    return normalize_manifest_path(path) == "element/vornellupdater.exe";
}

bool is_guild_archive_path(std::string_view path) {
    return normalize_manifest_path(path) == "element/surfaces.pck";
}

std::wstring blob_url(const std::wstring& update_base_url, const std::string& sha256) {
    std::wstring url = update_base_url;
    if (!url.ends_with(L'/')) {
        url += L'/';
    }
    return url + to_utf16(sha256.substr(0, 2)) + L"/" + to_utf16(sha256) + L".dat";
}

}  // namespace vorn
