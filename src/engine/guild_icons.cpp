#include "engine/guild_icons.h"

#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "engine/client_paths.h"
#include "engine/engine_actions.h"
#include "engine/file_hashing.h"
#include "engine/install_transaction.h"
#include "engine/installed_receipt.h"
#include "engine/repair_state.h"
#include "engine/running_client.h"
#include "engine/subsystem_inputs.h"
#include "engine/update_engine.h"
#include "guild/guild_archive.h"
#include "guild/icon_list.h"
#include "guild/png_to_dds.h"

namespace vorn {
namespace {

constexpr const char* surfaces_path = "element/surfaces.pck";
constexpr std::size_t shortest_icon_list = 8;

std::string fetch_version(UpdateEngine& engine) {
    const std::optional<std::string> stamp = version_stamp(
        download_guild_file(guild_source(engine), L"version.txt", largest_guild_version));
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

IconSet fetch_icon_set(UpdateEngine& engine) {
    const GuildSource source = guild_source(engine);
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

// Rebuilds, checks for a concurrent change, installs and records; the transaction folder
// goes with any failure before the journal takes over.
void install_icons(UpdateEngine& engine, const std::filesystem::path& live,
                   const std::string& current, const GuildState& state, const IconSet& icons) {
    const std::string id = random_hex(16);
    begin_transaction(engine, id);
    try {
        const std::filesystem::path staged =
            transaction_folder(engine, id, TransactionLayout::element) / L"staged" /
            L"surfaces.pck";
        const std::string built = build_guild_archive(live, staged, icons.dds, icons.text);
        reach(engine, "icons_built");
        if (checksum_of(engine, live, surfaces_path) != current) {
            throw LauncherError("guild_conflict",
                                L"Архив иконок изменился во время подготовки. "
                                L"Повторите действие.");
        }
        ensure_client_not_running(engine);
        commit_transaction(engine, id, {{surfaces_path, staged, built}},
                           {{surfaces_path, current}});
        GuildState installed = state;
        installed.patched_sha256 = built;
        write_guild_state(guild_state_file(engine), installed);
    } catch (...) {
        abandon_transaction(engine, id);
        throw;
    }
}

}  // namespace

void update_guild_icons(UpdateEngine& engine) {
    const std::filesystem::path live =
        resolve_client_path(engine, surfaces_path, LinkCheck::refuse_links);
    if (!file_exists(live)) {
        throw LauncherError("guild_pck_missing",
                            L"Не найден архив surfaces.pck. Обновите полный клиент.");
    }
    publish_view(engine, {.phase = Phase::checking, .title = L"Проверяем иконки кланов"});
    const std::string version = fetch_version(engine);
    const std::string current = checksum_of(engine, live, surfaces_path);
    GuildState state{.version = version, .base_sha256 = current};
    if (const auto recorded = read_guild_state(guild_state_file(engine));
        recorded && recorded->patched_sha256 == current) {
        if (!recorded->base_sha256.empty()) {
            state.base_sha256 = recorded->base_sha256;  // the manifest's archive, patched by us
        }
        if (recorded->version == version) {
            return;  // the installed set is current
        }
    }
    const IconSet icons = fetch_icon_set(engine);
    if (fetch_version(engine) != version) {
        throw LauncherError("guild_version_changed",
                            L"Иконки обновились на сервере во время "
                            L"загрузки. Повторите действие.");
    }
    state.png_sha256 = sha256_bytes(icons.png);
    state.text_sha256 = sha256_bytes(icons.text);
    install_icons(engine, live, current, state, icons);
}

UiSnapshot run_icons_action(UpdateEngine& engine) {
    ensure_client_not_running(engine);
    remove_stale_transactions(engine);
    const bool was_clean = read_installed_receipt(engine).valid && !is_repair_required(engine) &&
                           game_executable_present(engine);
    update_guild_icons(engine);
    if (was_clean) {
        // The install marked the client for repair while it moved the archive; the
        // client was verified before and the archive is vouched for by the guild state.
        remove_file_if_present(engine.marker_path);
    }
    engine.clean.store(was_clean && !is_repair_required(engine));
    publish_view(engine, {.phase = Phase::ready,
                          .percent = 100,
                          .title = L"Иконки кланов обновлены",
                          .detail = L"Посторонние файлы архива сохранены.",
                          .busy = Busy::no});
    return engine.view;
}

}  // namespace vorn
