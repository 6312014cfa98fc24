#include "engine/update/guild_icons.h"

#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/running_client.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/install/install_transaction.h"
#include "guild/guild_archive.h"
#include "guild/icon_list.h"
#include "guild/png_to_dds.h"

namespace vorn {
namespace {

constexpr const char* surfaces_path = "element/surfaces.pck";
constexpr std::size_t shortest_icon_list = 8;

std::string fetch_version(const EngineServices& services) {
    const std::optional<std::string> stamp = version_stamp(
        download_guild_file(guild_source(services), L"version.txt", largest_guild_version));
    if (!stamp) {
        throw LauncherError("guild_version", L"Сервер вернул неверную версию иконок.");
    }
    return *stamp;
}

struct IconSet {
    Bytes text;
    Bytes png;
    Bytes dds;
};

IconSet fetch_icon_set(const EngineServices& services) {
    const GuildSource source = guild_source(services);
    IconSet icons;
    icons.text = download_guild_file(source, L"iconlist_guild.txt", largest_guild_text);
    icons.png = download_guild_file(source, L"iconlist_guild.png", largest_guild_png);
    if (icons.text.size() < shortest_icon_list) {
        throw LauncherError("guild_text", L"Сервер вернул пустую таблицу иконок.");
    }
    validate_icon_list(icons.text);
    icons.dds = png_to_dds(icons.png);
    return icons;
}

// Rebuilds, installs (refusing an archive changed meanwhile) and records; the transaction folder
// goes with any failure before the journal takes over.
void install_icons(const ClientPlace& client, const EngineServices& services, EngineView& view,
                   const std::filesystem::path& live, const std::string& current,
                   const GuildState& state, const IconSet& icons) {
    const std::string id = random_hex(16);
    begin_transaction(client, services, id);
    try {
        const std::filesystem::path staged =
            transaction_folder(client, id, TransactionLayout::element) / L"staged" /
            L"surfaces.pck";
        const std::string built = build_guild_archive(live, staged, icons.dds, icons.text);
        reach(services, "icons_built");
        ensure_client_not_running(client);
        // The backup's pass refuses an archive that is no longer the one hashed before the build.
        commit_transaction(client, services, view, id, {{surfaces_path, staged, built}},
                           {{surfaces_path, current}},
                           LauncherError("guild_conflict",
                                         L"Архив иконок изменился во время подготовки. "
                                         L"Повторите действие."));
        GuildState installed = state;
        installed.patched_sha256 = built;
        write_guild_state(guild_state_file(client), installed);
    } catch (...) {
        abandon_transaction(client, id);
        throw;
    }
}

}  // namespace

void update_guild_icons(const ClientPlace& client, const EngineServices& services,
                        EngineView& view) {
    const std::filesystem::path live =
        resolve_client_path(client, surfaces_path, LinkCheck::refuse_links);
    if (!file_exists(live)) {
        throw LauncherError("guild_pck_missing",
                            L"Не найден архив surfaces.pck. Обновите полный клиент.");
    }
    publish_view(view, {.phase = Phase::checking, .title = L"Проверяем иконки кланов"});
    const std::string version = fetch_version(services);
    const std::string current = checksum_of(view, live, surfaces_path);
    GuildState state{.version = version, .base_sha256 = current};
    if (const auto recorded = read_guild_state(guild_state_file(client));
        recorded && recorded->patched_sha256 == current) {
        if (!recorded->base_sha256.empty()) {
            state.base_sha256 = recorded->base_sha256;  // the manifest's archive, patched by us
        }
        if (recorded->version == version) {
            return;  // the installed set is current
        }
    }
    const IconSet icons = fetch_icon_set(services);
    if (fetch_version(services) != version) {
        throw LauncherError("guild_version_changed",
                            L"Иконки обновились на сервере во время "
                            L"загрузки. Повторите действие.");
    }
    state.png_sha256 = sha256_bytes(icons.png);
    state.text_sha256 = sha256_bytes(icons.text);
    install_icons(client, services, view, live, current, state, icons);
}

}  // namespace vorn
