#include "engine/client/engine_services.h"

namespace vorn {

void reach(const EngineServices& services, std::string_view point) {
    if (services.fault_point) {
        services.fault_point(point);
    }
}

}  // namespace vorn
