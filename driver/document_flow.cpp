// Surfaces, documents and pages. Pages follow each other as one run of dot
// rows: nothing is sent between them but what the output buffer holds.

#include "channel/channel.h"
#include "channel/command_set.h"
#include "channel/output_buffer.h"
#include "driver/driver_state.h"
#include "driver/hooks.h"
#include "driver/page_feed.h"
#include "driver/print_context.h"
#include "raster/page_buffers.h"

namespace {

BOOL FinishPage() {
  const BOOL result = Flush(g_printContext.channel);
  g_printContext.raster.rowCounter = 0;
  return result;
}

}  // namespace

HSURF APIENTRY DrvEnableSurface(DHPDEV) {
  g_surfaceDesc.iBitmapFormat = BMF_24BPP;
  const SIZEL size = {static_cast<LONG>(g_surfaceWidth), static_cast<LONG>(g_pageRows)};
  g_hsurf = g_pfnCreateDeviceSurface(reinterpret_cast<DHSURF>(&g_surfaceDesc), size, BMF_24BPP);
  return g_hsurf;
}

void APIENTRY DrvDisableSurface(DHPDEV) { g_pfnDeleteSurface(g_hsurf); }

void APIENTRY DrvDisablePDEV(DHPDEV) {
  ReleaseRasterBuffers(g_printContext.raster);
  ReleaseLineFeed();
  CloseChannel(g_printContext.channel);
}

BOOL APIENTRY DrvStartDoc(SURFOBJ*, PWSTR, DWORD) {
  g_jobAborted = 0;
  // The start-up block went out when the channel opened; if the printer
  // never took it, every page would fail its attempts one after another.
  if (g_printContext.channel.writeFailed) {
    SetLastError(g_printContext.channel.writeError);
    return FALSE;
  }
  if (!CheckStatusWithRetry(g_printContext.channel)) {
    g_jobAborted = -1;
    return FALSE;
  }
  BeginJob(g_printContext.channel);
  g_pageCount = 0;
  return TRUE;
}

BOOL APIENTRY DrvStartPage(SURFOBJ*) {
  const LONG previous = g_pageCount++;
  BOOL result = TRUE;
  if (previous != 0) result = FinishPage();
  g_rowsSent = 0;
  if (!CheckStatusWithRetry(g_printContext.channel)) {
    g_jobAborted = -1;
    return FALSE;
  }
  g_jobAborted = 0;
  ResetPageRaster(g_printContext.raster);
  return result;
}

BOOL APIENTRY DrvEndDoc(SURFOBJ*, FLONG) {
  PrinterChannel& channel = g_printContext.channel;
  SendEndCommand1(channel);
  if (FinishPage() && g_jobAborted == 0) SendEndCommand2(channel);
  // The job ends once the port has sent what it holds. A document whose
  // data a flush gave up on, or that stayed stuck in the port, did not
  // print, whatever the printer's status says afterwards.
  const BOOL ended = EndJob(channel);
  const DWORD lostError = !ended ? GetLastError() : channel.writeError;
  const bool delivered = ended && !channel.writeFailed;
  if (CheckStatusWithRetry(channel)) {
    if (g_jobAborted != 0) return FALSE;
    if (!delivered) {
      if (lostError != ERROR_SUCCESS) SetLastError(lostError);
      return FALSE;
    }
    return CheckStatusWithRetry(channel);
  }
  if (g_jobAborted == 0) ResetThroughRts(channel);
  return FALSE;
}
