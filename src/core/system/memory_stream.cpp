#include "core/system/memory_stream.h"

#include <objbase.h>

#include <cstring>

namespace vorn {

MemoryStream stream_over(const void* data, std::size_t size) {
    MemoryStream result;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    void* target = block ? GlobalLock(block) : nullptr;
    if (!target) {
        result.out_of_memory = true;
        result.error = GetLastError();
        if (block) {
            GlobalFree(block);
        }
        return result;
    }
    std::memcpy(target, data, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
        GlobalFree(block);
        return result;
    }
    result.stream.reset(stream);  // the stream owns the block from here on
    return result;
}

}  // namespace vorn
