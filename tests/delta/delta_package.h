// Delta packages with real bytes for the apply and recovery tests: a client folder with its
// state folder, the package's payloads written as the cache would hold them, and the
// manifest that pins them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "delta/delta_apply.h"
#include "delta/delta_recovery.h"
#include "support/delta_document.h"
#include "support/temp_dir.h"

namespace vorn::test {

class DeltaScene {
  public:
    explicit DeltaScene(std::vector<PackageFile> files);

    const std::filesystem::path& root() const { return root_.path(); }
    DeltaRootInputs inputs() const { return {root(), state_.path(), std::nullopt}; }
    const DeltaManifest& manifest() const { return manifest_; }
    PayloadProvider payloads() const;

    // Writes every file's `before` into the client (removing those that had none).
    void install_before() const;
    std::optional<std::string> live(const std::string& path) const;
    // Every file is at its `before` (true) or at its `after` (false).
    bool all_at(bool before) const;
    // Nothing of a run is left: no journal, no run folder under the work root.
    bool nothing_left() const;

    std::filesystem::path journal() const;
    std::string journal_phase() const;

    std::vector<PackageFile> files;

  private:
    ScopedTempDir root_;
    ScopedTempDir state_;
    DeltaManifest manifest_;
};

}  // namespace vorn::test
