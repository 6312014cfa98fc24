#include "engine/client/engine_view.h"

#include "model/progress.h"

namespace vorn {

void publish_view(EngineView& view, const ViewUpdate& update) {
    UiSnapshot& shown = view.snapshot;
    apply_view_update(shown, update);
    shown.can_play = view.clean.load();
    shown.can_update = !shown.busy;
    if (view.sink) {
        view.sink(shown);
    }
}

}  // namespace vorn
