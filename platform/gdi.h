// The graphics engine's printer-driver interface as Windows CE publishes it:
// the 31-slot driver table, the engine callbacks and the structures that
// pass between engine and driver, on the platform and on the host alike (the
// desktop's driver interface has other layouts: a 3-argument DrvEnableDriver,
// a counted driver table, a larger DEVMODEW).
#pragma once

#include "platform/win_types.h"

// Generic slot type: every slot is called through its real signature.
// (void(*)() is the type the compiler accepts casts to and from without
// complaint.)
typedef void(APIENTRY* PFN)();

struct DHPDEV__;
typedef DHPDEV__* DHPDEV;
struct HSURF__;
typedef HSURF__* HSURF;
struct DHSURF__;
typedef DHSURF__* DHSURF;
struct HDEV__;
typedef HDEV__* HDEV;

// Handles and geometry that the platform's own headers declare.
#if !defined(_WIN32)
struct HPALETTE__;
typedef HPALETTE__* HPALETTE;
typedef HANDLE HGDIOBJ;

struct POINTL {
  LONG x;
  LONG y;
};
typedef POINTL* PPOINTL;

struct SIZEL {
  LONG cx;
  LONG cy;
};

struct RECTL {
  LONG left;
  LONG top;
  LONG right;  // exclusive
  LONG bottom;  // exclusive
};
typedef RECTL* PRECTL;
#endif  // !_WIN32
static_assert(sizeof(POINTL) == 8);
static_assert(offsetof(POINTL, y) == 4);
static_assert(sizeof(SIZEL) == 8);
static_assert(offsetof(SIZEL, cy) == 4);
static_assert(sizeof(RECTL) == 16);
static_assert(offsetof(RECTL, top) == 4);
static_assert(offsetof(RECTL, right) == 8);
static_assert(offsetof(RECTL, bottom) == 12);

#define BMF_1BPP 1u
#define BMF_4BPP 2u
#define BMF_8BPP 3u
#define BMF_16BPP 4u
#define BMF_24BPP 5u
#define BMF_32BPP 6u

#define STYPE_BITMAP 0
#define STYPE_DEVICE 1

#define BMF_TOPDOWN 0x0001u

struct SURFOBJ {
  DHSURF dhsurf;
  HSURF hsurf;
  DHPDEV dhpdev;
  HDEV hdev;
  SIZEL sizlBitmap;  // width, height in pixels
  ULONG cjBits;
  PVOID pvBits;  // start of the pixel memory (the bottom row for bottom-up bitmaps)
  PVOID pvScan0;  // the top scan line
  LONG lDelta;  // signed bytes from one scan line to the next (negative: bottom-up)
  ULONG iUniq;
  ULONG iBitmapFormat;
  USHORT iType;
  USHORT fjBitmap;
};
// Four handles lead, so everything after them moves with the pointer size.
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
static_assert(offsetof(SURFOBJ, hsurf) == sizeof(void*));
static_assert(offsetof(SURFOBJ, dhpdev) == 2 * sizeof(void*));
static_assert(offsetof(SURFOBJ, hdev) == 3 * sizeof(void*));
static_assert(offsetof(SURFOBJ, sizlBitmap) == (sizeof(void*) == 4 ? 16 : 32));
static_assert(offsetof(SURFOBJ, cjBits) == (sizeof(void*) == 4 ? 24 : 40));
static_assert(offsetof(SURFOBJ, pvBits) == (sizeof(void*) == 4 ? 28 : 48));
static_assert(offsetof(SURFOBJ, pvScan0) == (sizeof(void*) == 4 ? 32 : 56));
static_assert(offsetof(SURFOBJ, lDelta) == (sizeof(void*) == 4 ? 36 : 64));
static_assert(offsetof(SURFOBJ, iUniq) == (sizeof(void*) == 4 ? 40 : 68));
static_assert(offsetof(SURFOBJ, iBitmapFormat) == (sizeof(void*) == 4 ? 44 : 72));
static_assert(offsetof(SURFOBJ, iType) == (sizeof(void*) == 4 ? 48 : 76));
static_assert(offsetof(SURFOBJ, fjBitmap) == (sizeof(void*) == 4 ? 50 : 78));
static_assert(sizeof(SURFOBJ) == (sizeof(void*) == 4 ? 52 : 80));

struct CLIPOBJ;  // opaque to the driver
struct XLATEOBJ;  // opaque to the driver

// Driver table: the slots in the target's order.
struct DRVENABLEDATA {
  PFN DrvEnablePDEV;  // 0
  PFN DrvDisablePDEV;  // 1
  PFN DrvEnableSurface;  // 2
  PFN DrvDisableSurface;  // 3
  PFN DrvCreateDeviceBitmap;  // 4
  PFN DrvDeleteDeviceBitmap;  // 5
  PFN DrvRealizeBrush;  // 6
  PFN DrvStrokePath;  // 7
  PFN DrvFillPath;  // 8
  PFN DrvPaint;  // 9
  PFN DrvBitBlt;  // 10
  PFN DrvCopyBits;  // 11
  PFN DrvAnyBlt;  // 12
  PFN DrvTransparentBlt;  // 13
  PFN DrvSetPalette;  // 14
  PFN DrvSetPointerShape;  // 15
  PFN DrvMovePointer;  // 16
  PFN DrvGetModes;  // 17
  PFN DrvRealizeColor;  // 18
  PFN DrvGetMasks;  // 19
  PFN DrvUnrealizeColor;  // 20
  PFN DrvContrastControl;  // 21
  PFN DrvPowerHandler;  // 22
  PFN DrvEndDoc;  // 23
  PFN DrvStartDoc;  // 24
  PFN DrvStartPage;  // 25
  PFN DrvEscape;  // 26
  PFN DrvGradientFill;  // 27
  PFN DrvAlphaBlend;  // 28
  PFN DrvExclusiveMode;  // 29
  PFN DrvDisableDriver;  // 30
};
#define DRVENABLEDATA_SLOTS 31
static_assert(sizeof(DRVENABLEDATA) == DRVENABLEDATA_SLOTS * sizeof(PFN));

typedef HSURF(APIENTRY* PFN_EngCreateDeviceSurface)(DHSURF dhsurf, SIZEL size, ULONG format);
typedef BOOL(APIENTRY* PFN_EngDeleteSurface)(HSURF surface);
typedef HPALETTE(APIENTRY* PFN_EngCreatePalette)(ULONG mode, ULONG count, PULONG colours,
                                                 FLONG red, FLONG green, FLONG blue);

// Engine callbacks handed to DrvEnableDriver: 16 entries; the driver uses
// entries 9, 10 and 12.
struct ENGCALLBACKS {
  PFN Entry0;
  PFN Entry1;
  PFN Entry2;
  PFN Entry3;
  PFN Entry4;
  PFN Entry5;
  PFN Entry6;
  PFN Entry7;
  PFN Entry8;
  PFN_EngCreateDeviceSurface EngCreateDeviceSurface;  // 9
  PFN_EngDeleteSurface EngDeleteSurface;  // 10
  PFN Entry11;
  PFN_EngCreatePalette EngCreatePalette;  // 12
  PFN Entry13;
  PFN Entry14;
  PFN Entry15;
};
typedef ENGCALLBACKS* PENGCALLBACKS;
static_assert(sizeof(ENGCALLBACKS) == 16 * sizeof(PFN));

#define PAL_INDEXED 0x01u
#define PAL_BITFIELDS 0x02u
#define PAL_RGB 0x04u
#define PAL_BGR 0x08u

#define DT_RASPRINTER 2u
#define RC_PALETTE 0x00000100u  // flRaster: a palette device

// Device mode, 192 bytes on the target (no pointers: the same on a 64-bit host).
#define CCHDEVICENAME 32
#define CCHFORMNAME 32
#pragma pack(push, 2)
struct DEVMODEW {
  WCHAR dmDeviceName[CCHDEVICENAME];
  WORD dmSpecVersion;
  WORD dmDriverVersion;
  WORD dmSize;
  WORD dmDriverExtra;
  DWORD dmFields;
  SHORT dmOrientation;
  SHORT dmPaperSize;
  SHORT dmPaperLength;
  SHORT dmPaperWidth;
  SHORT dmScale;
  SHORT dmCopies;
  SHORT dmDefaultSource;
  SHORT dmPrintQuality;
  SHORT dmColor;
  SHORT dmDuplex;
  SHORT dmYResolution;
  SHORT dmTTOption;
  SHORT dmCollate;
  WCHAR dmFormName[CCHFORMNAME];
  WORD dmLogPixels;
  DWORD dmBitsPerPel;
  DWORD dmPelsWidth;
  DWORD dmPelsHeight;
  DWORD dmDisplayFlags;
  DWORD dmDisplayFrequency;
  DWORD dmDisplayOrientation;
};
#pragma pack(pop)
typedef DEVMODEW* PDEVMODEW;
static_assert(sizeof(DEVMODEW) == 192);
static_assert(offsetof(DEVMODEW, dmSpecVersion) == 64);
static_assert(offsetof(DEVMODEW, dmDriverVersion) == 66);
static_assert(offsetof(DEVMODEW, dmSize) == 68);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmPaperSize) == 78);
static_assert(offsetof(DEVMODEW, dmPaperLength) == 80);
static_assert(offsetof(DEVMODEW, dmPaperWidth) == 82);
static_assert(offsetof(DEVMODEW, dmScale) == 84);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(offsetof(DEVMODEW, dmDefaultSource) == 88);
static_assert(offsetof(DEVMODEW, dmPrintQuality) == 90);
static_assert(offsetof(DEVMODEW, dmColor) == 92);
static_assert(offsetof(DEVMODEW, dmBitsPerPel) == 168);

#define DM_ORIENTATION 0x00000001u
#define DM_PAPERSIZE 0x00000002u
#define DM_PAPERLENGTH 0x00000004u
#define DM_PAPERWIDTH 0x00000008u
#define DM_COPIES 0x00000100u
#define DMORIENT_PORTRAIT 1
#define DMORIENT_LANDSCAPE 2
#define DMRES_DRAFT (-1)
#define DMRES_HIGH (-4)
#define DMCOLOR_MONOCHROME 1
#define DMCOLOR_COLOR 2
#define DMPAPER_LETTER 1
#define DMPAPER_A4 9
#define DMPAPER_USER 256

// Page description the engine uses, 148 bytes.
struct GDIINFO {
  ULONG ulVersion;
  ULONG ulTechnology;
  ULONG ulHorzSize;  // millimetres
  ULONG ulVertSize;  // millimetres
  ULONG ulHorzRes;  // dots
  ULONG ulVertRes;  // dots
  ULONG cBitsPixel;
  ULONG cPlanes;
  ULONG ulNumColors;
  ULONG flRaster;
  ULONG ulLogPixelsX;  // dots per inch
  ULONG ulLogPixelsY;
  ULONG flTextCaps;
  ULONG ulDACRed;
  ULONG ulDACGreen;
  ULONG ulDACBlue;
  ULONG ulAspectX;
  ULONG ulAspectY;
  ULONG ulAspectXY;
  LONG xStyleStep;
  LONG yStyleStep;
  LONG denStyleStep;
  ULONG ulReserved88;
  POINTL ptlPhysOffset;  // dots
  SIZEL szlPhysSize;  // dots
  ULONG ulNumPalReg;
  ULONG ulDevicePelsDPI;
  ULONG ulPrimaryOrder;
  ULONG ulHTPatternSize;
  ULONG ulHTOutputFormat;
  ULONG flHTFlags;
  ULONG ulVRefresh;
  ULONG ulBltAlignment;
  ULONG ulPanningHorzRes;
  ULONG ulPanningVertRes;
};
static_assert(sizeof(GDIINFO) == 148);
static_assert(offsetof(GDIINFO, ulTechnology) == 4);
static_assert(offsetof(GDIINFO, ulHorzSize) == 8);
static_assert(offsetof(GDIINFO, ulVertSize) == 12);
static_assert(offsetof(GDIINFO, ulHorzRes) == 16);
static_assert(offsetof(GDIINFO, ulVertRes) == 20);
static_assert(offsetof(GDIINFO, cBitsPixel) == 24);
static_assert(offsetof(GDIINFO, cPlanes) == 28);
static_assert(offsetof(GDIINFO, ulNumColors) == 32);
static_assert(offsetof(GDIINFO, flRaster) == 36);
static_assert(offsetof(GDIINFO, ulLogPixelsX) == 40);
static_assert(offsetof(GDIINFO, ulLogPixelsY) == 44);
static_assert(offsetof(GDIINFO, ptlPhysOffset) == 92);
static_assert(offsetof(GDIINFO, szlPhysSize) == 100);

// Logical font, 92 bytes: five LONGs, eight BYTEs, a 32-character face name.
#define LF_FACESIZE 32
struct LOGFONTW {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  WCHAR lfFaceName[LF_FACESIZE];
};
static_assert(sizeof(LOGFONTW) == 92);
static_assert(offsetof(LOGFONTW, lfWeight) == 16);
static_assert(offsetof(LOGFONTW, lfItalic) == 20);
static_assert(offsetof(LOGFONTW, lfPitchAndFamily) == 27);
static_assert(offsetof(LOGFONTW, lfFaceName) == 28);

// Device information the driver fills in at device enable; the engine
// passes its size. Only hpalDefault depends on the pointer size: 296 bytes
// where pointers have 4 bytes, 304 on a 64-bit host. (Some engines append
// more members after hpalDefault and pass a larger size.)
struct DEVINFO {
  FLONG flGraphicsCaps;
  LOGFONTW lfDefaultFont;
  LOGFONTW lfAnsiVarFont;
  LOGFONTW lfAnsiFixFont;
  ULONG cFonts;
  ULONG iDitherFormat;
  USHORT cxDither;
  USHORT cyDither;
  HPALETTE hpalDefault;
};
static_assert(offsetof(DEVINFO, lfDefaultFont) == 4);
static_assert(offsetof(DEVINFO, lfAnsiVarFont) == 96);
static_assert(offsetof(DEVINFO, lfAnsiFixFont) == 188);
static_assert(offsetof(DEVINFO, cFonts) == 280);
static_assert(offsetof(DEVINFO, iDitherFormat) == 284);
static_assert(offsetof(DEVINFO, cxDither) == 288);
static_assert(offsetof(DEVINFO, cyDither) == 290);
static_assert(offsetof(DEVINFO, hpalDefault) == (sizeof(void*) == 4 ? 292 : 296));
static_assert(sizeof(DEVINFO) == (sizeof(void*) == 4 ? 296 : 304));

typedef DHPDEV(APIENTRY* PFN_DrvEnablePDEV)(DEVMODEW* devmode, LPWSTR port, ULONG patterns,
                                            HSURF* patternSurfaces, ULONG gdiInfoSize,
                                            ULONG* gdiInfo, ULONG devInfoSize, DEVINFO* devInfo,
                                            HDEV hdev, LPWSTR deviceName, HANDLE driver);

// Releases a GDI object (the driver's default palette). Declared here on the
// platform too: its desktop header is left out (NOGDI, see win_types.h).
PLATFORM_API BOOL WINAPI DeleteObject(HGDIOBJ object);
