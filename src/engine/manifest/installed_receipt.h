// The installed receipt: the record that the client matched a manifest, and the two
// legacy fixed-layout receipts that are still read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/bytes.h"

namespace vorn {

struct ClientPlace;
struct EngineView;
struct Manifest;

inline constexpr std::size_t legacy_receipt_size = 576;
inline constexpr std::uint64_t largest_receipt = 8192;

struct InstalledReceipt {
    bool valid = false;
    bool legacy = false;
    std::string manifest_key;
    std::string version;
    std::string etag;  // UTF-8
    std::uint64_t content_length = 0;
};

// Never throws: a missing, damaged or foreign receipt reads as invalid. When the current
// receipt exists the legacy files are not consulted, even if it is invalid.
InstalledReceipt read_installed_receipt(const ClientPlace& client);

// The readers of the bytes the receipt files hold: the current JSON record, and the
// legacy fixed layout. Never throw: anything damaged or foreign reads as invalid.
InstalledReceipt parse_installed_receipt(const ClientPlace& client, ByteView bytes) noexcept;
InstalledReceipt parse_legacy_receipt(const ClientPlace& client, ByteView bytes) noexcept;

// One legacy receipt (cache_dir\installed-v1.bin or root\.vornell-installed-v1.bin).
InstalledReceipt read_legacy_receipt(const ClientPlace& client, const std::filesystem::path& path);

// Records that the client matches `manifest`, proves the record reads back, removes the
// repair markers and sets clean. Throws LauncherError ("receipt_verify",
// "recovery_required" when a repair is still pending).
void write_installed_receipt(const ClientPlace& client, EngineView& view, const Manifest& manifest);

}  // namespace vorn
