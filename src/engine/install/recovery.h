// Undoing an interrupted install transaction from its journal and verified backups.
#pragma once

namespace vorn {

struct ClientPlace;
struct EngineView;

// Nothing without a journal. Otherwise checks every entry before changing anything, then
// brings each journaled file back to its state before the transaction and removes the
// journal and the transaction folder; the repair marker stays for the update to clear.
// Throws LauncherError; a failure leaves the journal for the next attempt.
void recover_transaction(const ClientPlace& client, EngineView& view);

}  // namespace vorn
