#include "engine/client/disk_room.h"

#include <windows.h>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"

namespace vorn {
namespace {

std::uint64_t free_bytes(const ClientPlace& client, const EngineServices& services) {
    if (services.free_space) {
        return services.free_space(client.root);
    }
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(long_path(client.root).c_str(), &available, nullptr, nullptr)) {
        throw LauncherError("disk_space", L"Не удалось проверить свободное место.", GetLastError());
    }
    return available.QuadPart;
}

}  // namespace

void require_room(const ClientPlace& client, const EngineServices& services, std::uint64_t needed) {
    if (free_bytes(client, services) < needed) {
        throw LauncherError(
            "disk_space",
            L"Для безопасной подготовки архивов и резервных копий недостаточно места.");
    }
}

}  // namespace vorn
