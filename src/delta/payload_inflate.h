// Inflating a verified delta payload onto the end of a file being written.
#pragma once

#include <windows.h>

#include "core/sha256.h"
#include "delta/delta_files.h"
#include "delta/delta_manifest.h"

namespace vorn {

// Reads the payload from its start in 1 MiB blocks and writes the inflated bytes to
// `output` at its current position. The stream must end exactly at the payload's end and
// inflate to exactly its raw digest ("delta_seek", "delta_read", "delta_write", "delta_zlib",
// "delta_zlib_bound", "delta_zlib_trailing", "delta_raw_integrity"). `written`, when given,
// also takes every byte written.
void inflate_payload(const DeltaReadFile& payload, HANDLE output, const delta::Payload& expected,
                     Sha256* written = nullptr);

// Inflates a verified payload file into `output`, created new and flushed; on failure the
// partial output is deleted ("delta_payload_contract", "delta_payload_output_exists",
// "delta_payload_output", "delta_compressed_integrity", "delta_stage", "delta_flush", and
// the inflate's stages).
void inflate_to_file(const std::filesystem::path& payload_file, const std::filesystem::path& output,
                     const delta::Payload& expected);

}  // namespace vorn
