// A COM stream over a private copy of some bytes, for decoders that read streams (GDI+).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <memory>

namespace vorn {

struct StreamRelease {
    void operator()(IStream* stream) const noexcept { stream->Release(); }
};
using UniqueStream = std::unique_ptr<IStream, StreamRelease>;

struct MemoryStream {
    UniqueStream stream;  // empty on failure
    bool out_of_memory = false;
    DWORD error = 0;  // GetLastError() of the failed allocation
};

// Copies the bytes into a movable global block and opens a stream that frees it.
MemoryStream stream_over(const void* data, std::size_t size);

}  // namespace vorn
