// The guild icons inside element/surfaces.pck: refreshed by the Icons button and at the
// end of every update.
#pragma once

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

// Downloads the published icon set and, unless the installed one is current, installs a
// rebuilt surfaces.pck through the install transaction and records it. Nothing changes
// before the install; a failure before it leaves no transaction folder. Throws
// LauncherError (a "guild_" stage, or the transaction's).
void update_guild_icons(const ClientPlace& client, const EngineServices& services,
                        EngineView& view);

}  // namespace vorn
