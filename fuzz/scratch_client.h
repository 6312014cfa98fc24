// The scratch folders the file readers work in: a client with its service folder, and
// decoys beside it that no reader may touch.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "engine/client/update_engine.h"

namespace vorn::fuzz {

class ScratchClient {
  public:
    // A fresh folder under the system's temporary folder; removed by the destructor.
    ScratchClient();
    ~ScratchClient();
    ScratchClient(const ScratchClient&) = delete;
    ScratchClient& operator=(const ScratchClient&) = delete;

    const std::filesystem::path& base() const { return base_; }
    const std::filesystem::path& root() const { return root_; }
    UpdateEngine& engine() { return *engine_; }

    // Writes bytes to a file (its folder is made first).
    static void put(const std::filesystem::path& path, const std::string& bytes);
    static std::string get(const std::filesystem::path& path);

    // Throws InvariantBroken when a decoy beside the client changed.
    void require_decoys_untouched() const;

  private:
    std::filesystem::path base_;
    std::filesystem::path root_;
    std::unique_ptr<UpdateEngine> engine_;
};

}  // namespace vorn::fuzz
