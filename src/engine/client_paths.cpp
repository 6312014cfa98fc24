#include "engine/client_paths.h"

#include "engine/update_engine.h"

namespace vorn {

std::filesystem::path resolve_client_path(const UpdateEngine& engine, std::string_view relative,
                                          LinkCheck links) {
    return resolve_client_path(engine.root, relative, links);
}

}  // namespace vorn
