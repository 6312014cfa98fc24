// Whether the client may be half-updated: the repair marker, the install journal and the
// delta journal.
#pragma once

namespace vorn {

struct ClientPlace;
struct EngineView;

inline constexpr const char* repair_marker_text = "Vornell repair required v1\r\n";
inline constexpr const wchar_t* legacy_marker_name = L".vornell-update-dirty-v1.bin";

// Clears clean, then writes the marker: it stays until a receipt is written, so every run
// that does not end well leaves the client unverified.
void mark_repair_required(const ClientPlace& client, EngineView& view);

// Any marker, the install journal, or a delta journal. Probe errors propagate.
bool is_repair_required(const ClientPlace& client);

// The install journal or a delta journal: an update stopped half-way.
bool is_update_interrupted(const ClientPlace& client);

// Whether a delta journal waits in the client root. Throws LauncherError "delta_journal"
// when the journal path is a folder or a link.
bool delta_journal_waits(const ClientPlace& client);

}  // namespace vorn
