// The engine callbacks the driver uses: device surfaces and palettes.

#include <memory>
#include <mutex>
#include <set>

#include "engine/engine.h"
#include "platform/host/host_api.h"

namespace kelo::engine {

namespace {

struct Palette {
  ULONG mode;
};

struct EngineObjects {
  std::mutex mutex;
  std::vector<SurfaceInfo> surfaces;
  std::set<Palette*> palettes;
  int failPalettes = 0;
};

EngineObjects& Objects() {
  // Never destroyed: a driver may release objects while the process exits.
  static EngineObjects* objects = [] {
    auto* created = new EngineObjects;
    kelo::host::SetGdiObjectDeleter([](HGDIOBJ object) -> BOOL {
      EngineObjects& o = Objects();
      std::lock_guard lock(o.mutex);
      auto* palette = static_cast<Palette*>(object);
      if (o.palettes.erase(palette) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      delete palette;
      return TRUE;
    });
    return created;
  }();
  return *objects;
}

HSURF APIENTRY CreateDeviceSurface(DHSURF driverSurface, SIZEL size, ULONG format) {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  o.surfaces.push_back({driverSurface, size, format, false});
  // Handles count from 1; 0 is no surface.
  return reinterpret_cast<HSURF>(static_cast<uintptr_t>(o.surfaces.size()));
}

BOOL APIENTRY DeleteSurface(HSURF surface) {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  const auto index = reinterpret_cast<uintptr_t>(surface);
  if (index == 0 || index > o.surfaces.size() || o.surfaces[index - 1].deleted) return FALSE;
  o.surfaces[index - 1].deleted = true;
  return TRUE;
}

HPALETTE APIENTRY CreatePalette(ULONG mode, ULONG, PULONG, FLONG, FLONG, FLONG) {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  if (o.failPalettes > 0) {
    --o.failPalettes;
    return nullptr;
  }
  auto* palette = new Palette{mode};
  o.palettes.insert(palette);
  return reinterpret_cast<HPALETTE>(palette);
}

}  // namespace

ENGCALLBACKS EngineCallbacks() {
  Objects();
  ENGCALLBACKS callbacks = {};
  callbacks.EngCreateDeviceSurface = &CreateDeviceSurface;
  callbacks.EngDeleteSurface = &DeleteSurface;
  callbacks.EngCreatePalette = &CreatePalette;
  return callbacks;
}

std::vector<SurfaceInfo> Surfaces() {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  return o.surfaces;
}

int LivePalettes() {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  return static_cast<int>(o.palettes.size());
}

void FailNextPalettes(int count) {
  EngineObjects& o = Objects();
  std::lock_guard lock(o.mutex);
  o.failPalettes = count;
}

}  // namespace kelo::engine
