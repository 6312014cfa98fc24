#include "delta/delta_staging.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <optional>

#include "core/file_system.h"
#include "core/hash_behind.h"
#include "core/hex.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "delta/payload_inflate.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t header_size = 4;

// "hash_start" once, then "hash_bytes" at most every 200 ms and at the end.
class HashReports {
  public:
    HashReports(const DeltaProgress& progress, const std::string& display, std::uint64_t total)
        : progress_(progress), display_(display), total_(total), last_(GetTickCount64()) {
        report(progress_, "hash_start", display_, 0, total_);
    }
    void done(std::uint64_t bytes) {
        const ULONGLONG now = GetTickCount64();
        if (bytes == total_ || now - last_ >= hash_progress_interval_ms) {
            last_ = now;
            report(progress_, "hash_bytes", display_, bytes, total_);
        }
    }

  private:
    const DeltaProgress& progress_;
    const std::string& display_;
    std::uint64_t total_;
    ULONGLONG last_;
};

// The package's header bytes, as the base holds them and as the staged file gets them.
struct HeaderChange {
    std::uint64_t offset = 0;
    Bytes before;
    Bytes after;
    bool as_expected = true;

    bool touches(std::uint64_t start, std::uint64_t size) const {
        return offset < start + size && start < offset + header_size;
    }
    // Checks and changes the bytes of the change that fall in the block starting at `start`.
    void apply(std::uint8_t* block, std::uint64_t start, std::uint64_t size) {
        for (std::uint64_t k = 0; k < header_size; ++k) {
            const std::uint64_t at = offset + k;
            if (at >= start && at < start + size) {
                as_expected = as_expected && block[at - start] == before[k];
                block[at - start] = after[k];
            }
        }
    }
};

std::optional<HeaderChange> header_change(const DeltaEntry& entry) {
    if (!entry.patch_header) {
        return std::nullopt;
    }
    const PatchHeader& header = *entry.patch_header;
    HeaderChange change{header.offset, from_hex(header.before_hex), from_hex(header.after_hex)};
    if (change.before.size() != header_size || change.after.size() != header_size ||
        entry.base->bytes < header_size || header.offset > entry.base->bytes - header_size) {
        fail_delta("delta_header");
    }
    return change;
}

// Copies the base into the staged file in one pass that also hashes it, so what is staged is
// built from the very bytes that prove the base. The proof comes at the end: until then
// nothing reads the staged copy, and on a mismatch the caller deletes it before anything
// else happens. The base's hash runs on a second core beside the staged file's.
void copy_base(const fs::path& live, const DeltaEntry& entry, HANDLE staged, Sha256& written,
               const DeltaProgress& progress) {
    std::optional<HeaderChange> header = header_change(entry);
    const DeltaReadFile base = open_delta_file(live);
    if (base.size != entry.base->bytes) {
        fail_delta("delta_source_changed");  // another size: never the base
    }
    // Two blocks in turn: one is read while the other may still be hashed. Declared before
    // the hash, so a failure stops the hash before the blocks go.
    const auto blocks = std::make_unique<std::uint8_t[]>(3 * io_block_size);
    HashBehind proof;
    HashReports reports(progress, entry.path, base.size);
    std::uint8_t* const patched = blocks.get() + 2 * io_block_size;
    for (std::uint64_t done = 0, turn = 0; done < base.size; ++turn) {
        std::uint8_t* const block = blocks.get() + (turn % 2) * io_block_size;
        DWORD read = 0;
        const auto want =
            static_cast<DWORD>(std::min<std::uint64_t>(io_block_size, base.size - done));
        if (!ReadFile(base.handle.get(), block, want, &read, nullptr) || read != want) {
            fail_delta_io("delta_read", GetLastError());
        }
        proof.hand(block, read);
        const std::uint8_t* out = block;
        if (header && header->touches(done, read)) {
            std::memcpy(patched, block, read);
            header->apply(patched, done, read);
            out = patched;
        }
        written.update(out, read);
        write_delta_bytes(staged, out, read);
        done += read;
        reports.done(done);
    }
    // Against a live file changed since inspection.
    if (FileDigest{proof.finish(), base.size} != *entry.base) {
        fail_delta("delta_source_changed");
    }
    if (header && !header->as_expected) {
        fail_delta("delta_header");
    }
}

std::uint64_t file_size(HANDLE file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        fail_delta_io("delta_stage", GetLastError());
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

void write_staged(const fs::path& live, HANDLE staged, const DeltaEntry& entry,
                  const fs::path& payload_path, const DeltaProgress& progress) {
    Sha256 written;
    if (entry.operation == "append") {
        copy_base(live, entry, staged, written, progress);
    }
    const DeltaReadFile payload = open_delta_file(payload_path);
    // Against a cached payload changed on the disk since it was resolved: it is read from
    // this very handle next.
    if (hash_delta_file(payload, progress, entry.path) != entry.payload.compressed) {
        fail_delta("delta_compressed_integrity");
    }
    inflate_payload(payload, staged, entry.payload, &written);
    if (!FlushFileBuffers(staged)) {
        fail_delta_io("delta_flush", GetLastError());
    }
    // Against a faulty inflate: every byte went through `written` while the handle shared
    // nothing, so no one else wrote here. What the disk holds is read again before the move.
    if (FileDigest{written.finish(), file_size(staged)} != entry.target) {
        fail_delta("delta_target_integrity");
    }
}

}  // namespace

void stage_entry(const fs::path& live, const fs::path& staged_path, const DeltaEntry& entry,
                 const fs::path& payload, const DeltaProgress& progress) {
    std::error_code ignored;
    fs::create_directories(staged_path.parent_path(), ignored);
    UniqueFile staged(CreateFileW(long_path(staged_path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!staged) {
        fail_delta_io("delta_stage", GetLastError());
    }
    const auto discard = [&] {
        staged.reset();
        DeleteFileW(long_path(staged_path).c_str());  // ours, created above, not the target
    };
    try {
        write_staged(live, staged.get(), entry, payload, progress);
    } catch (const LauncherError& error) {
        discard();
        if (error.stage == "crypto") {
            fail_delta("delta_hash");
        }
        throw;
    } catch (...) {
        discard();
        throw;
    }
}

}  // namespace vorn
