// Room on the client's volume, asked before work that writes gigabytes it cannot free
// until the work is done: staged files and backups.
#pragma once

#include <cstdint>

namespace vorn {

struct ClientPlace;
struct EngineServices;

// What stays free beyond the work, for the system and the game.
inline constexpr std::uint64_t room_reserve = 67108864;

// Throws the space message ("disk_space") unless `needed` bytes are free on the client's
// volume, asked before the first byte is written.
void require_room(const ClientPlace& client, const EngineServices& services, std::uint64_t needed);

}  // namespace vorn
