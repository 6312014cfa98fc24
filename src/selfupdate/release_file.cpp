#include "selfupdate/release_file.h"

#include "core/launcher_error.h"
#include "core/sha256.h"
#include "net/fetch.h"

namespace vorn {
namespace {

constexpr std::uint32_t smallest_pe_offset = 64;
constexpr std::uint64_t pe_header_span = 264;
constexpr std::uint16_t machine_x64 = 0x8664;
constexpr std::uint16_t executable_image = 0x0002;
constexpr std::uint16_t dll_image = 0x2000;
constexpr std::uint16_t pe32_plus = 0x20B;

std::uint16_t u16_at(ByteView bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

}  // namespace

bool is_windows_x64_program(ByteView bytes) {
    if (bytes.size() < smallest_pe_offset || bytes[0] != 0x4D || bytes[1] != 0x5A) {
        return false;
    }
    const std::uint32_t pe = get_u32_le(bytes, 60);
    if (pe < smallest_pe_offset || pe > bytes.size() || bytes.size() - pe < pe_header_span) {
        return false;
    }
    const std::uint16_t characteristics = u16_at(bytes, pe + 22);
    return bytes[pe] == 'P' && bytes[pe + 1] == 'E' && bytes[pe + 2] == 0 && bytes[pe + 3] == 0 &&
           u16_at(bytes, pe + 4) == machine_x64 && (characteristics & executable_image) != 0 &&
           (characteristics & dll_image) == 0 && u16_at(bytes, pe + 24) == pe32_plus;
}

Bytes download_release_file(Transport& transport, UrlTrust trust, const ReleaseEntry& entry,
                            bool is_updater) {
    HttpRequest request =
        make_request(entry.url, trust, is_updater ? largest_updater_file : largest_launcher_file);
    request.timeout_ms = 15000;
    HttpResponse response;
    fetch(response, transport, request, 3);
    if (response.status != 200) {
        throw LauncherError("self_update_download", L"Сервер не вернул файл обновления лаунчера.");
    }
    if (response.body.size() != entry.size || sha256_bytes(response.body) != entry.sha256 ||
        !is_windows_x64_program(response.body)) {
        throw LauncherError("self_update_hash",
                            L"Размер, SHA-256 или формат обновления лаунчера не прошли проверку.");
    }
    return std::move(response.body);
}

}  // namespace vorn
