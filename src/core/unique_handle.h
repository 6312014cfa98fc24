// One move-only owner for every kind of OS handle.
#pragma once

#include <windows.h>

namespace vorn {

// Owns one handle described by `Traits` (its type, invalid value and close call).
// reset() keeps GetLastError() intact, so an error code read after a failed call
// survives the cleanup of the handles around it.
template <typename Traits>
class UniqueHandle {
  public:
    using pointer = typename Traits::type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

    pointer release() noexcept {
        pointer handle = handle_;
        handle_ = Traits::invalid();
        return handle;
    }

    void reset(pointer handle = Traits::invalid()) noexcept {
        if (handle_ != Traits::invalid()) {
            const DWORD saved = GetLastError();
            Traits::close(handle_);
            SetLastError(saved);
        }
        handle_ = handle;
    }

    // For out-parameters: closes the current handle and hands out its slot.
    pointer* put() noexcept {
        reset();
        return &handle_;
    }

  private:
    pointer handle_ = Traits::invalid();
};

struct FileHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type handle) noexcept { CloseHandle(handle); }
};

// Process, thread, event and mutex handles: null means none.
struct KernelHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type handle) noexcept { CloseHandle(handle); }
};

struct FindHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type handle) noexcept { FindClose(handle); }
};

struct LocalMemoryTraits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type memory) noexcept { LocalFree(memory); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

}  // namespace vorn
