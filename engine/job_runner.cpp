// Calls a printer driver's hooks in the engine's order and feeds it pages
// rendered into a 24-bit bottom-up surface, as the platform's engine does.

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace kelo::engine {

namespace {

using EnablePDEVFn = PFN_DrvEnablePDEV;
using DisablePDEVFn = void(APIENTRY*)(DHPDEV);
using EnableSurfaceFn = HSURF(APIENTRY*)(DHPDEV);
using DisableSurfaceFn = void(APIENTRY*)(DHPDEV);
using CopyBitsFn = BOOL(APIENTRY*)(SURFOBJ*, SURFOBJ*, CLIPOBJ*, XLATEOBJ*, RECTL*, POINTL*);
using StartDocFn = BOOL(APIENTRY*)(SURFOBJ*, PWSTR, DWORD);
using StartPageFn = BOOL(APIENTRY*)(SURFOBJ*);
using EndDocFn = BOOL(APIENTRY*)(SURFOBJ*, FLONG);
using GetModesFn = ULONG(APIENTRY*)(HANDLE, ULONG, DEVMODEW*);

template <typename Fn>
Fn Hook(PFN slot) {
  return reinterpret_cast<Fn>(slot);
}

constexpr size_t kPixelBytes = 3;

// A page bitmap as the engine keeps it: rows bottom-up in memory, so the
// top scan line is the last one and lDelta is negative.
struct PageBitmap {
  LONG width = 0;
  LONG height = 0;
  size_t stride = 0;
  std::vector<uint8_t> pixels;

  std::vector<uint8_t> topDown;  // the renderer's scratch page, top row first

  PageBitmap(LONG w, LONG h)
      : width(w), height(h), stride((static_cast<size_t>(w) * kPixelBytes + 3) & ~size_t{3}) {
    pixels.assign(stride * static_cast<size_t>(h), 0xFF);
    topDown.assign(pixels.size(), 0xFF);
  }

  // Renders top-down into the scratch page, then stores it bottom-up.
  void Render(const PageRenderer& render, int page) {
    std::fill(topDown.begin(), topDown.end(), uint8_t{0xFF});
    render(page, width, height, topDown.data(), stride);
    for (LONG y = 0; y < height; ++y) {
      std::copy_n(topDown.data() + static_cast<size_t>(y) * stride, stride,
                  pixels.data() + static_cast<size_t>(height - 1 - y) * stride);
    }
  }

  SURFOBJ Surface() {
    SURFOBJ surface = {};
    surface.sizlBitmap = {width, height};
    surface.cjBits = static_cast<ULONG>(pixels.size());
    surface.pvBits = pixels.data();
    surface.pvScan0 = pixels.data() + static_cast<size_t>(height - 1) * stride;
    surface.lDelta = -static_cast<LONG>(stride);
    surface.iBitmapFormat = BMF_24BPP;
    surface.iType = STYPE_BITMAP;
    return surface;
  }
};

JobResult Fail(JobResult result, JobStep failed, std::string step) {
  result.ok = false;
  result.failedStep = failed;
  result.failure = std::move(step);
  result.lastError = GetLastError();
  return result;
}

}  // namespace

DEVMODEW DefaultDevmode(EnableDriverFn enableDriver) {
  DRVENABLEDATA table = DefaultDriverTable();
  ENGCALLBACKS callbacks = EngineCallbacks();
  enableDriver(0x00020000, sizeof table, &table, &callbacks);
  DEVMODEW devmode = {};
  Hook<GetModesFn>(table.DrvGetModes)(nullptr, sizeof devmode, &devmode);
  return devmode;
}

// The driver does not make copies itself: the engine plays the whole
// document again for each one, so copies come out collated.
int JobSheets(const DEVMODEW& devmode, int pageCount) {
  const int copies =
      (devmode.dmFields & DM_COPIES) != 0 && devmode.dmCopies > 1 ? devmode.dmCopies : 1;
  return copies * pageCount;
}

JobResult RunJob(EnableDriverFn enableDriver, const JobOptions& options, int pageCount,
                 const PageRenderer& render) {
  JobResult result;
  DRVENABLEDATA table = DefaultDriverTable();
  ENGCALLBACKS callbacks = EngineCallbacks();
  if (!enableDriver(0x00020000, sizeof table, &table, &callbacks)) {
    return Fail(result, JobStep::kDriverEnable, "driver enable");
  }

  DEVMODEW devmode = options.devmode;
  std::u16string port = options.port;
  std::u16string deviceName = u"Kelo";
  DEVINFO devInfo = {};
  const DHPDEV pdev = Hook<EnablePDEVFn>(table.DrvEnablePDEV)(
      &devmode, port.data(), 0, nullptr, sizeof(GDIINFO),
      reinterpret_cast<ULONG*>(&result.gdiInfo), sizeof devInfo, &devInfo, nullptr,
      deviceName.data(), nullptr);
  if (pdev == nullptr) return Fail(result, JobStep::kDeviceEnable, "device enable");
  if (options.enabled) options.enabled(result.gdiInfo);

  const HSURF surface = Hook<EnableSurfaceFn>(table.DrvEnableSurface)(pdev);
  SURFOBJ deviceSurface = {};
  deviceSurface.hsurf = surface;
  deviceSurface.dhpdev = pdev;

  auto finish = [&](JobResult r) {
    Hook<DisableSurfaceFn>(table.DrvDisableSurface)(pdev);
    Hook<DisablePDEVFn>(table.DrvDisablePDEV)(pdev);
    return r;
  };

  // Running out of memory for a page ends the job like any failed step:
  // what went to the printer so far is closed properly.
  const LONG width = static_cast<LONG>(result.gdiInfo.ulHorzRes);
  const LONG height = static_cast<LONG>(result.gdiInfo.ulVertRes);
  std::optional<PageBitmap> bitmap;
  try {
    bitmap.emplace(width, height);
  } catch (const std::bad_alloc&) {
    return finish(Fail(result, JobStep::kRender, "the page bitmap (out of memory)"));
  }

  std::u16string docName = u"kelo job";
  if (!Hook<StartDocFn>(table.DrvStartDoc)(&deviceSurface, docName.data(), 1)) {
    return finish(Fail(result, JobStep::kDocumentStart, "document start (printer not ready)"));
  }

  const int sheets = JobSheets(devmode, pageCount);
  for (int sheet = 0; sheet < sheets; ++sheet) {
    const int page = sheet % pageCount;
    if (!Hook<StartPageFn>(table.DrvStartPage)(&deviceSurface)) {
      JobResult failed = Fail(result, JobStep::kPageStart, "page start (printer not ready)");
      Hook<EndDocFn>(table.DrvEndDoc)(&deviceSurface, 0);
      return finish(failed);
    }
    try {
      bitmap->Render(render, page);
    } catch (const std::bad_alloc&) {
      JobResult failed = Fail(result, JobStep::kRender,
                              "drawing page " + std::to_string(page + 1) + " (out of memory)");
      Hook<EndDocFn>(table.DrvEndDoc)(&deviceSurface, 0);
      return finish(failed);
    } catch (const PageUnavailable& unavailable) {
      JobResult failed = Fail(result, JobStep::kPage, unavailable.what());
      Hook<EndDocFn>(table.DrvEndDoc)(&deviceSurface, 0);
      return finish(failed);
    }
    SURFOBJ source = bitmap->Surface();
    const LONG band = width > height ? width : std::max(options.bandRows, 1);
    bool written = true;
    if (width > height) {
      RECTL rect = {0, 0, width, height};
      written = Hook<CopyBitsFn>(table.DrvCopyBits)(&deviceSurface, &source, nullptr, nullptr,
                                                   &rect, nullptr);
      if (written && options.progress) options.progress(page, height, height);
    } else {
      for (LONG top = 0; top < height && written; top += band) {
        RECTL rect = {0, top, width, std::min(height, top + band)};
        POINTL origin = {0, top};
        written = Hook<CopyBitsFn>(table.DrvCopyBits)(&deviceSurface, &source, nullptr,
                                                     nullptr, &rect, &origin);
        if (written && options.progress) options.progress(page, rect.bottom, height);
      }
    }
    if (!written) {
      JobResult failed = Fail(result, JobStep::kWrite, "write to the printer");
      Hook<EndDocFn>(table.DrvEndDoc)(&deviceSurface, 0);
      return finish(failed);
    }
    ++result.pagesSent;
  }
  if (!Hook<EndDocFn>(table.DrvEndDoc)(&deviceSurface, 0)) {
    return finish(
        Fail(result, JobStep::kDocumentEnd, "document end (printer reported a condition)"));
  }
  result.ok = true;
  return finish(result);
}

}  // namespace kelo::engine
