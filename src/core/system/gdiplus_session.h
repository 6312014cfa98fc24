// GDI+ for one scope: started in the constructor, shut down in the destructor.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vorn {

class GdiplusSession {
  public:
    GdiplusSession() noexcept;
    ~GdiplusSession();
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

    bool started() const noexcept { return token_ != 0; }

  private:
    ULONG_PTR token_ = 0;
};

}  // namespace vorn
