// The updater component beside the client: kept present and genuine, and started for the
// hand-over only when it proves it is the component the launcher verified.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/http.h"
#include "selfupdate/release_descriptor.h"

namespace vorn {

// What the self-update needs of the launcher's configuration.
struct SelfUpdateContext {
    Transport* transport = nullptr;  // not owned
    UrlTrust trust = UrlTrust::project_hosts;
    std::filesystem::path client_root;
    std::filesystem::path updater_path;  // as configured
    std::filesystem::path state_dir;
    std::string pinned_updater_sha256;  // of the updater released with this build; may be ""
    // SHA-256 of the project's code-signing public keys, a build value: with any, a program
    // the launcher downloads or starts must be signed by one of them.
    std::vector<std::string> signer_pins;
    // Every updater build this launcher accepts in its client folder (the pinned one and
    // earlier ones): any of them may put back a build that never proved itself.
    std::vector<std::string> accepted_updater_sha256;
    std::optional<std::filesystem::path> local_test_config;
};

// root\element\VornellUpdater.exe, resolved without links; the configured path must be it
// ("self_update_staging").
std::filesystem::path updater_location(const SelfUpdateContext& context);

// The digest the component must have: the descriptor's updater, else the pinned one.
std::string expected_updater_digest(const SelfUpdateContext& context,
                                    const ReleaseDescriptor& descriptor);

// The digest of the updater in the element folder when it is one the launcher accepts (the
// pinned build or an accepted one) and passes the signature check; throws LauncherError
// ("self_update_missing_component") otherwise.
std::string accepted_present_updater(const SelfUpdateContext& context);

// Refuses ("self_update_untrusted_component") a descriptor that names an updater other than
// the pinned one unless something vouches for it: the descriptor's own signature was checked
// (`descriptor_signed`), or signer pins make every updater prove its signer.
void require_trusted_updater_entry(const SelfUpdateContext& context,
                                   const ReleaseDescriptor& descriptor, bool descriptor_signed);

// Returns when the updater path holds a component of the expected digest that passes the
// signature check (is_trusted_program with the context's pins), downloading and installing the
// published one when needed. Throws LauncherError ("self_update_staging",
// "self_update_missing_component", "self_update_signature", "self_update_hash", or the download's).
void ensure_updater_component(const SelfUpdateContext& context,
                              const ReleaseDescriptor& descriptor);

}  // namespace vorn
