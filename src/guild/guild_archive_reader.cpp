#include <string_view>

#include "archive/pck_index.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "guild/guild_archive.h"

namespace vorn {
namespace {

LauncherError guild_error(PckFault fault) {
    switch (fault) {
        case PckFault::too_small:
            return LauncherError("guild_pck_format", L"Формат архива иконок не поддерживается.");
        case PckFault::header:
        case PckFault::footer:
            return LauncherError("guild_pck_format", L"Неверный заголовок архива иконок.");
        case PckFault::many_entries:
            return LauncherError("guild_pck_limit", L"В архиве иконок слишком много записей.");
        case PckFault::keys:
            return LauncherError("guild_pck_keys", L"Неизвестный формат таблицы архива иконок.");
        case PckFault::record:
        case PckFault::zlib:
            return LauncherError("guild_pck_index", L"Повреждена запись архива иконок.");
        case PckFault::record_size:
            return LauncherError("guild_pck_index", L"Неверный размер записи архива иконок.");
        case PckFault::name_end:
        case PckFault::name:
            return LauncherError("guild_pck_index", L"Неверное имя записи архива иконок.");
        case PckFault::span:
        case PckFault::tail:
            return LauncherError("guild_pck_index", L"Данные архива иконок выходят за границы.");
        case PckFault::extra:
            return LauncherError("guild_pck_index", L"Таблица архива иконок имеет лишние данные.");
        default:  // no entries, an oversized index, a prefix reaching into the footer
            return LauncherError("guild_pck_index", L"Повреждена таблица архива иконок.");
    }
}

// Names are only carried: the guild copies foreign records as they are, whatever they name.
const PckReading guild_reading{.error = guild_error, .strict_names = false};

[[noreturn]] void fail_safety() {
    throw LauncherError("guild_pck_safety", L"Архив иконок недоступен или является ссылкой.");
}

void check_plain_file(const std::filesystem::path& pck) {
    const DWORD attributes = file_attributes(pck);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & link_or_directory_mask) != 0) {
        fail_safety();
    }
}

void check_not_split(const std::filesystem::path& pck) {
    std::filesystem::path pkx = pck;
    pkx.replace_extension(L".pkx");
    // A .pkx of zero bytes is no continuation: the game reads the .pck alone.
    if (file_exists(pkx) && client_file_size(pkx) != 0) {
        throw LauncherError("guild_pck_split",
                            L"Для составного архива иконок требуется отдельная проверка.");
    }
}

}  // namespace

std::string folded_entry_name(std::string raw_name) {
    for (char& c : raw_name) {
        c = c == '\\' ? '/' : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return raw_name;
}

bool is_guild_icon_entry(const std::string& raw_name) {
    const std::string folded = folded_entry_name(raw_name);
    return folded == guild_dds_entry || folded == guild_text_entry;
}

GuildArchive read_guild_archive(const std::filesystem::path& pck) {
    check_plain_file(pck);
    const std::uint64_t size = client_file_size(pck);
    if (size < smallest_pck || size > largest_guild_archive) {
        throw LauncherError("guild_pck_format", L"Формат архива иконок не поддерживается.");
    }
    check_not_split(pck);
    try {
        GuildArchive archive{open_archive_file(pck, largest_guild_archive), {}};
        archive.index = parse_archive(archive.reader, ArchivePart::whole, guild_reading);
        return archive;
    } catch (const LauncherError& error) {
        if (!std::string_view(error.stage).starts_with("pck_rebase_")) {
            throw;  // already the guild's own refusal
        }
        if (error.stage == "pck_rebase_reparse") {
            fail_safety();
        }
        throw LauncherError("guild_pck_read", L"Архив иконок повреждён или недоступен.",
                            error.win32);
    }
}

}  // namespace vorn
