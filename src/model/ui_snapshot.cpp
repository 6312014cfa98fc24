#include "model/ui_snapshot.h"

#include "core/text.h"

namespace vorn {

nlohmann::json snapshot_json(const UiSnapshot& snapshot) {
    return nlohmann::json{
        {"phase", phase_number(snapshot.phase)}, {"percent", snapshot.percent},
        {"title", to_utf8(snapshot.title)},      {"detail", to_utf8(snapshot.detail)},
        {"hint", to_utf8(snapshot.hint)},
    };
}

}  // namespace vorn
