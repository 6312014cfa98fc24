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

// The value that means no handle: null for most kinds; for files and searches
// INVALID_HANDLE_VALUE, which is no constant expression and so is given by a function.
template <typename Handle>
Handle no_handle() noexcept {
    return nullptr;
}
inline HANDLE invalid_handle_value() noexcept {
    return INVALID_HANDLE_VALUE;
}

// The traits of one kind of handle: its type, the call that closes it and the value that
// means none.
template <typename Handle, auto close_call, Handle (*none)() = no_handle<Handle>>
struct ClosedBy {
    using type = Handle;
    static type invalid() noexcept { return none(); }
    static void close(type handle) noexcept { close_call(handle); }
};

using UniqueFile = UniqueHandle<ClosedBy<HANDLE, CloseHandle, invalid_handle_value>>;
// Process, thread, event and mutex handles: null means none.
using UniqueKernelHandle = UniqueHandle<ClosedBy<HANDLE, CloseHandle>>;
using UniqueFind = UniqueHandle<ClosedBy<HANDLE, FindClose, invalid_handle_value>>;
using UniqueLocalMemory = UniqueHandle<ClosedBy<HLOCAL, LocalFree>>;

}  // namespace vorn
