// The guild icons inside element/surfaces.pck: refreshed by the Icons button and at the
// end of every update.
#pragma once

#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;
struct ClientPlace;
struct EngineServices;
struct EngineView;

// Downloads the published icon set and, unless the installed one is current, installs a
// rebuilt surfaces.pck through the install transaction and records it. Nothing changes
// before the install; a failure before it leaves no transaction folder. Throws
// LauncherError (a "guild_" stage, or the transaction's).
void update_guild_icons(const ClientPlace& client, const EngineServices& services,
                        EngineView& view);

// The Icons action: the icon update, then the client's clean state restored as it was.
UiSnapshot run_icons_action(UpdateEngine& engine);

}  // namespace vorn
