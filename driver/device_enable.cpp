// Device enable: the engine's device mode becomes a page of known size at
// 8 dots per millimetre; the raster buffers are set up and the channel opens.

#include <algorithm>
#include <cstring>
#include <utility>

#include "channel/channel.h"
#include "driver/driver_state.h"
#include "driver/hooks.h"
#include "driver/page_feed.h"
#include "driver/print_context.h"
#include "raster/page_buffers.h"

namespace {

constexpr ULONG kDotsPerMm = 8;
constexpr ULONG kDpiHigh = 203;
constexpr ULONG kDpiDraft = 101;
constexpr WORD kDriverVersion = 0x202;
constexpr const WCHAR* kDeviceName = TEXT("Kelo Pell");
constexpr const WCHAR* kClearTypeKey = TEXT("System\\GDI\\ClearType");
// A raster row's length travels in one byte.
constexpr ULONG kMaxRowDots = 255 * 8;

struct Paper {
  ULONG widthMm;
  ULONG lengthMm;
};

// Paper by dmPaperSize; 256 (custom) is handled by the caller.
Paper PaperFor(SHORT paperSize) {
  switch (paperSize) {
    case 5:
    case DMPAPER_A4:
      return {80, 113};
    default:
      return {48, 68};
  }
}

constexpr DWORD kPathChars = 520;
constexpr DWORD kSubkeyChars = 260;

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Deletes `path` (in a buffer of kPathChars) with its subkeys, for a
// registry that might delete only empty keys. True on success or when the
// key does not exist.
bool DeleteKeyTree(WCHAR* path) {
  if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS) return true;
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (opened != ERROR_SUCCESS) return opened == ERROR_FILE_NOT_FOUND;
  size_t length = WideLength(path);
  if (length == 0 || path[length - 1] != u'\\') {
    if (length + 1 >= kPathChars) {
      RegCloseKey(key);
      return false;
    }
    path[length++] = u'\\';
    path[length] = 0;
  }
  for (;;) {
    WCHAR name[kSubkeyChars];
    DWORD nameLength = kSubkeyChars;
    if (RegEnumKeyExW(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (length + nameLength + 1 > kPathChars) break;
    std::memcpy(path + length, name, (nameLength + 1) * sizeof(WCHAR));
    const bool deleted = DeleteKeyTree(path);
    path[length] = 0;
    if (!deleted) break;
  }
  path[length - 1] = 0;
  RegCloseKey(key);
  return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS;
}

void DeleteClearTypeKey() {
  WCHAR path[kPathChars] = {};
  std::memcpy(path, kClearTypeKey, (WideLength(kClearTypeKey) + 1) * sizeof(WCHAR));
  DeleteKeyTree(path);
}

void SetDeviceName(DEVMODEW& devmode) {
  std::memset(devmode.dmDeviceName, 0, sizeof devmode.dmDeviceName);
  std::memcpy(devmode.dmDeviceName, kDeviceName, WideLength(kDeviceName) * sizeof(WCHAR));
}

// Custom paper with a side of 0 mm or less has no page to print on (and a
// negative side would turn into billions of dots).
bool CustomPaperHasNoSide(const DEVMODEW& devmode) {
  if (devmode.dmPaperSize != DMPAPER_USER) return false;
  return ((devmode.dmFields & DM_PAPERWIDTH) && devmode.dmPaperWidth <= 0) ||
         ((devmode.dmFields & DM_PAPERLENGTH) && devmode.dmPaperLength <= 0);
}

void FillPageDescription(const DEVMODEW& devmode, GDIINFO& info) {
  Paper paper = PaperFor(devmode.dmPaperSize);
  ULONG widthDots = paper.widthMm * kDotsPerMm;
  ULONG lengthDots = paper.lengthMm * kDotsPerMm;
  if (devmode.dmPaperSize == DMPAPER_USER) {
    // Custom paper in whole millimetres; a dimension whose field bit is
    // clear keeps what the default enable put there.
    paper = {info.ulHorzSize, info.ulVertSize};
    widthDots = static_cast<ULONG>(info.szlPhysSize.cx);
    lengthDots = static_cast<ULONG>(info.szlPhysSize.cy);
    if (devmode.dmFields & DM_PAPERWIDTH) {
      paper.widthMm = static_cast<ULONG>(devmode.dmPaperWidth);
      widthDots = paper.widthMm * kDotsPerMm;
    }
    if (devmode.dmFields & DM_PAPERLENGTH) {
      paper.lengthMm = static_cast<ULONG>(devmode.dmPaperLength);
      lengthDots = paper.lengthMm * kDotsPerMm;
    }
  }
  info.ulHorzSize = paper.widthMm;
  info.ulVertSize = paper.lengthMm;
  info.szlPhysSize.cx = static_cast<LONG>(widthDots);
  info.szlPhysSize.cy = static_cast<LONG>(lengthDots);
  info.ulHorzRes = widthDots;
  info.ulVertRes = lengthDots;
  info.ptlPhysOffset = {0, 0};
  const ULONG dpi = devmode.dmPrintQuality == DMRES_DRAFT ? kDpiDraft : kDpiHigh;
  info.ulLogPixelsX = dpi;
  info.ulLogPixelsY = dpi;

  g_limitRows = 0;
  if (devmode.dmOrientation == DMORIENT_LANDSCAPE) {
    if (info.ulHorzRes <= info.ulVertRes) {
      std::swap(info.szlPhysSize.cx, info.szlPhysSize.cy);
      std::swap(info.ptlPhysOffset.x, info.ptlPhysOffset.y);
      std::swap(info.ulHorzRes, info.ulVertRes);
      std::swap(info.ulHorzSize, info.ulVertSize);
    }
    g_surfaceWidth = info.ulHorzRes;
    g_pageRows = info.ulVertRes;
  } else {
    g_surfaceWidth = info.ulHorzRes;
    g_pageRows = info.ulVertRes;
    if (info.ulHorzRes > info.ulVertRes) {
      // The engine sees a square page; the band hook cuts it at the paper.
      info.ulVertRes = info.ulHorzRes;
      g_limitRows = 1;
    }
  }
  info.flRaster &= ~RC_PALETTE;
  info.ulTechnology = DT_RASPRINTER;
  info.cBitsPixel = 24;
  info.ulNumColors = 0x1000000;
}

}  // namespace

DHPDEV APIENTRY DrvEnablePDEV(DEVMODEW* devmode, LPWSTR port, ULONG patterns,
                              HSURF* patternSurfaces, ULONG gdiInfoSize, ULONG* gdiInfo,
                              ULONG devInfoSize, DEVINFO* devInfo, HDEV hdev, LPWSTR deviceName,
                              HANDLE driver) {
  // The engine's buffers must hold what this hook and the default enable
  // write; a short one is refused before anything is touched.
  if (devmode == nullptr || gdiInfo == nullptr || gdiInfoSize < sizeof(GDIINFO) ||
      devInfo == nullptr || devInfoSize < sizeof(DEVINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeleteClearTypeKey();
  devInfo->hpalDefault = g_pfnCreatePalette(PAL_BGR, 0, nullptr, 0, 0, 0);
  if (devInfo->hpalDefault == nullptr) return nullptr;

  const auto defaultEnable = reinterpret_cast<PFN_DrvEnablePDEV>(g_defaultDrvFn[0]);
  g_dhpdev = defaultEnable(devmode, port, patterns, patternSurfaces, gdiInfoSize, gdiInfo,
                           devInfoSize, devInfo, hdev, deviceName, driver);

  SetDeviceName(*devmode);
  devmode->dmDriverVersion = kDriverVersion;

  GDIINFO& info = *reinterpret_cast<GDIINFO*>(gdiInfo);
  FillPageDescription(*devmode, info);

  const ULONG rowDots =
      devmode->dmOrientation == DMORIENT_LANDSCAPE ? info.ulVertRes : info.ulHorzRes;
  bool ok = true;
  const bool noSide = CustomPaperHasNoSide(*devmode);
  const bool badPaper = noSide || rowDots > kMaxRowDots;
  if (noSide) {
    OutputDebugStringW(TEXT("DrvEnablePDEV: custom paper with a side of 0 mm or less\r\n"));
    ok = false;
  } else if (rowDots > kMaxRowDots) {
    // A wider row cannot be sent: its length does not fit the raster-row
    // command's length byte.
    OutputDebugStringW(TEXT("DrvEnablePDEV: paper too wide for a raster row (over 2040 dots)\r\n"));
    ok = false;
  } else if (!SetupRaster(g_printContext.raster, info, *devmode) || !PrepareLineFeed(rowDots)) {
    ok = false;
  } else {
    g_printContext.channel.planesPerLine = g_printContext.raster.colourMode ? 4 : 1;
    ok = OpenForPrinting(g_printContext.channel, g_printContext.settings, port) !=
         INVALID_HANDLE_VALUE;
  }
  if (ok) return g_dhpdev;

  const DWORD error = badPaper ? ERROR_INVALID_PARAMETER : GetLastError();
  DeleteObject(devInfo->hpalDefault);
  ReleaseRasterBuffers(g_printContext.raster);
  ReleaseLineFeed();
  CloseChannel(g_printContext.channel);
  g_dhpdev = nullptr;
  SetLastError(error);
  return nullptr;
}

ULONG APIENTRY DrvGetModes(HANDLE, ULONG size, DEVMODEW* devmode) {
  if (devmode == nullptr) return sizeof(DEVMODEW);
  if (size != sizeof(DEVMODEW)) return 0;
  std::memset(devmode, 0, sizeof(DEVMODEW));
  SetDeviceName(*devmode);
  devmode->dmSpecVersion = 0x400;
  devmode->dmSize = sizeof(DEVMODEW);
  devmode->dmOrientation = DMORIENT_PORTRAIT;
  devmode->dmPaperSize = 13;
  devmode->dmCopies = 1;
  devmode->dmPrintQuality = DMRES_HIGH;
  devmode->dmColor = DMCOLOR_MONOCHROME;
  devmode->dmBitsPerPel = 24;
  return sizeof(DEVMODEW);
}
