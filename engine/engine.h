// A host stand-in for the platform's graphics engine: the default
// printer-driver table, the engine callbacks, and a job runner that calls a
// driver's hooks in the engine's order and hands it rendered pages.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelo::engine {

// The 31-slot table pre-filled with the default printer-driver functions.
// Only the default DrvEnablePDEV does real work: it fills the page
// description and device information with an engine's defaults.
DRVENABLEDATA DefaultDriverTable();
// The callbacks handed to DrvEnableDriver.
ENGCALLBACKS EngineCallbacks();

// A surface the engine created for the driver: 24-bit blue-green-red.
struct SurfaceInfo {
  DHSURF driverSurface = nullptr;
  SIZEL size = {0, 0};
  ULONG format = 0;
  bool deleted = false;
};
// Every surface created so far, in order (for tests).
std::vector<SurfaceInfo> Surfaces();
// Palettes created and not yet released.
int LivePalettes();
// Makes the next `count` EngCreatePalette calls fail (return null).
void FailNextPalettes(int count);

// Fills one page: `bgr` is top-down, `stride` bytes per row, 3 bytes per
// pixel (blue, green, red), `width` x `height` pixels, pre-filled white.
using PageRenderer =
    std::function<void(int page, int width, int height, uint8_t* bgr, size_t stride)>;

struct JobOptions {
  DEVMODEW devmode = {};
  std::u16string port = u"LPT1:";
  int bandRows = 64;  // rows per DrvCopyBits call on portrait pages
  // Called once after a successful device enable with the page description.
  // The paper's page is szlPhysSize; the surface the renderer fills may be
  // taller (the driver asks for a square surface when portrait paper is
  // wider than long, and prints only the paper's rows).
  std::function<void(const GDIINFO&)> enabled;
  // Called after every DrvCopyBits that succeeded: page (from 0), surface
  // rows handed over so far on that page, surface rows of the page.
  std::function<void(int page, int rowsDone, int rows)> progress;
};

// Thrown by a renderer that cannot draw the page it was asked for for a
// reason other than memory (its image can no longer be read). The job ends
// at that page as at a failed step: the pages before it were handed over,
// nothing of it or after it is. what() is the reason, in words for a user.
struct PageUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The step at which a job stopped.
enum class JobStep {
  kNone,           // it did not stop
  kDriverEnable,   // DrvEnableDriver
  kDeviceEnable,   // DrvEnablePDEV (page set-up or channel open)
  kDocumentStart,  // DrvStartDoc refused: the printer is not ready
  kPageStart,      // DrvStartPage refused: the printer is not ready, or the previous page's flush failed
  kRender,         // the engine ran out of memory for a page (failure names the page)
  kPage,           // the renderer could not draw a page (PageUnavailable; failure is its reason)
  kWrite,          // DrvCopyBits: a write to the printer failed
  kDocumentEnd,    // DrvEndDoc: the final status check reported a condition
};

struct JobResult {
  bool ok = false;
  JobStep failedStep = JobStep::kNone;
  std::string failure;  // which step failed, empty on success
  DWORD lastError = 0;  // the last error when it failed
  int pagesSent = 0;
  GDIINFO gdiInfo = {};  // the page description after device enable
};

// The driver's hooks, as DrvEnableDriver installed them.
struct DriverHooks {
  DRVENABLEDATA table = {};
};

// Loads a driver through its DrvEnableDriver, then prints `pageCount` pages
// (the whole document dmCopies times when the device mode's DM_COPIES is set):
// DrvEnablePDEV, DrvEnableSurface, DrvStartDoc, per page DrvStartPage and
// DrvCopyBits (portrait pages in bands of rows, a landscape page, which the
// driver receives wider than high, in one call), DrvEndDoc, DrvDisableSurface
// and DrvDisablePDEV.
using EnableDriverFn = BOOL(APIENTRY*)(ULONG, ULONG, DRVENABLEDATA*, PENGCALLBACKS);
JobResult RunJob(EnableDriverFn enableDriver, const JobOptions& options, int pageCount,
                 const PageRenderer& render);

// The pages RunJob asks the renderer for, in order: the document's
// `pageCount` pages, once per copy the device mode asks for.
int JobSheets(const DEVMODEW& devmode, int pageCount);

// The device mode an application gets by default: asks the driver's
// DrvGetModes, as the engine does when nobody chose one.
DEVMODEW DefaultDevmode(EnableDriverFn enableDriver);

}  // namespace kelo::engine
