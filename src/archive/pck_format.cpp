#include "archive/pck_format.h"

#include "core/launcher_error.h"
#include "deployment_config.h"

namespace vorn {

const PckKeyPair& pck_key_pair(std::size_t which) {
    static const PckKeyPair pairs[2] = {
        {deployment::pck_keys_a[0], deployment::pck_keys_a[1]},
        {deployment::pck_keys_b[0], deployment::pck_keys_b[1]},
    };
    return pairs[which == 0 ? 0 : 1];
}

LauncherError archive_error(const char* stage, std::uint32_t win32) {
    return LauncherError(stage,
                         is_disk_full(win32)
                             ? disk_full_message
                             : L"Не удалось безопасно обновить архив клиента. Файлы не изменены.",
                         win32);
}

void fail_archive(const char* stage, std::uint32_t win32) {
    throw archive_error(stage, win32);
}

namespace {

const char* rebase_stage(PckFault fault) {
    switch (fault) {
        case PckFault::too_small:
            return "pck_rebase_format";
        case PckFault::header:
            return "pck_rebase_header";
        case PckFault::footer:
            return "pck_rebase_footer";
        case PckFault::no_entries:
        case PckFault::many_entries:
            return "pck_rebase_limit";
        case PckFault::name_end:
        case PckFault::name:
            return "pck_rebase_name";
        case PckFault::span:
            return "pck_rebase_span";
        case PckFault::tail:
            return "pck_rebase_tail";
        case PckFault::duplicate:
            return "pck_rebase_duplicate";
        case PckFault::zlib:
            return "pck_rebase_zlib";
        default:
            return "pck_rebase_index";
    }
}

LauncherError rebase_error(PckFault fault) {
    return archive_error(rebase_stage(fault));
}

}  // namespace

const PckReading& rebase_reading() {
    static const PckReading reading{.error = rebase_error, .strict_names = true};
    return reading;
}

}  // namespace vorn
