// What the window sees of the engine: the last view and whether the client may be played.
#pragma once

#include <atomic>

#include "model/progress.h"
#include "model/ui_snapshot.h"

namespace vorn {

// Written on the action thread; `clean` is also read by the window thread between actions.
struct EngineView {
    SnapshotSink sink;
    UiSnapshot snapshot;
    // The client matched the last manifest and no repair is pending.
    std::atomic<bool> clean{false};
};

// Sets the view's texts, busy, can_play := clean and can_update := !busy, then hands it
// to the sink.
void publish_view(EngineView& view, const ViewUpdate& update);

}  // namespace vorn
