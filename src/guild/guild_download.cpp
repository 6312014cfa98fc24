#include "guild/guild_download.h"

#include "core/launcher_error.h"
#include "net/fetch.h"

namespace vorn {

Bytes download_guild_file(const GuildSource& source, const std::wstring& name,
                          std::uint64_t limit) {
    LauncherError pending("guild_http", L"Не удалось загрузить иконки кланов.");
    for (const std::wstring* base : {&source.base_url, &source.fallback_url}) {
        if (base->empty()) {
            continue;
        }
        const std::wstring url = (base->ends_with(L'/') ? *base : *base + L'/') + name;
        try {
            HttpResponse response;
            fetch(response, *source.transport, make_request(url, source.trust, limit), 3);
            if (response.status == 200) {
                return std::move(response.body);
            }
            pending.http_status = response.status;
        } catch (const LauncherError& error) {
            pending = error;
            pending.stage = "guild_http";
        }
    }
    throw pending;
}

}  // namespace vorn
