// GDI objects: released through the graphics engine stand-in's deleter.

#include <functional>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

struct GdiState {
  std::mutex mutex;
  std::function<BOOL(HGDIOBJ)> deleter;
};

GdiState& Gdi() {
  static auto* state = new GdiState;  // never destroyed: used until exit
  return *state;
}

}  // namespace

void SetGdiObjectDeleter(std::function<BOOL(HGDIOBJ)> deleter) {
  std::lock_guard lock(Gdi().mutex);
  Gdi().deleter = std::move(deleter);
}

}  // namespace kelo::host

extern "C" {

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  std::function<BOOL(HGDIOBJ)> deleter;
  {
    std::lock_guard lock(kelo::host::Gdi().mutex);
    deleter = kelo::host::Gdi().deleter;
  }
  // Called without the lock: the deleter may call back into the platform.
  if (deleter) return deleter(object);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
