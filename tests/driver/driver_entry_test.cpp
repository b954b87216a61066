// The driver table after DrvEnableDriver, and the print context's life.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "driver/driver_state.h"
#include "driver/hooks.h"
#include "driver/print_context.h"
#include "tests/support/recording_device.h"

namespace {

// Distinct fake defaults, one per slot, so any slot mixed up shows.
PFN FakeDefault(int slot) { return reinterpret_cast<PFN>(static_cast<uintptr_t>(0x1000 + slot)); }

DRVENABLEDATA DefaultTable() {
  DRVENABLEDATA table;
  PFN* slots = reinterpret_cast<PFN*>(&table);
  for (int i = 0; i < DRVENABLEDATA_SLOTS; ++i) slots[i] = FakeDefault(i);
  return table;
}

HSURF APIENTRY FakeCreateSurface(DHSURF, SIZEL, ULONG) { return nullptr; }
BOOL APIENTRY FakeDeleteSurface(HSURF) { return TRUE; }
HPALETTE APIENTRY FakeCreatePalette(ULONG, ULONG, PULONG, FLONG, FLONG, FLONG) { return nullptr; }

ENGCALLBACKS Callbacks() {
  ENGCALLBACKS callbacks = {};
  callbacks.EngCreateDeviceSurface = &FakeCreateSurface;
  callbacks.EngDeleteSurface = &FakeDeleteSurface;
  callbacks.EngCreatePalette = &FakeCreatePalette;
  return callbacks;
}

}  // namespace

TEST(DrvEnableDriver, ReplacesTwelveSlotsAndKeepsTheRest) {
  DRVENABLEDATA table = DefaultTable();
  ENGCALLBACKS callbacks = Callbacks();
  EXPECT_TRUE(DrvEnableDriver(0x20000, sizeof table, &table, &callbacks));

  const PFN* slots = reinterpret_cast<const PFN*>(&table);
  const std::map<int, PFN> hooks = {
      {0, reinterpret_cast<PFN>(&DrvEnablePDEV)},
      {1, reinterpret_cast<PFN>(&DrvDisablePDEV)},
      {2, reinterpret_cast<PFN>(&DrvEnableSurface)},
      {3, reinterpret_cast<PFN>(&DrvDisableSurface)},
      {11, reinterpret_cast<PFN>(&DrvCopyBits)},
      {14, reinterpret_cast<PFN>(&DrvSlot14NoOp)},
      {17, reinterpret_cast<PFN>(&DrvGetModes)},
      {22, reinterpret_cast<PFN>(&DrvNoOp)},
      {23, reinterpret_cast<PFN>(&DrvEndDoc)},
      {24, reinterpret_cast<PFN>(&DrvStartDoc)},
      {25, reinterpret_cast<PFN>(&DrvStartPage)},
      {30, reinterpret_cast<PFN>(&DrvNoOp)},
  };
  for (int i = 0; i < DRVENABLEDATA_SLOTS; ++i) {
    const auto hook = hooks.find(i);
    if (hook != hooks.end()) {
      EXPECT_EQ(slots[i], hook->second) << "slot " << i;
    } else {
      EXPECT_EQ(slots[i], FakeDefault(i)) << "slot " << i;
    }
    // The copy holds every slot as received, replaced ones included.
    EXPECT_EQ(g_defaultDrvFn[i], FakeDefault(i)) << "default slot " << i;
  }
}

TEST(DrvEnableDriver, KeepsTheThreeEngineCallbacks) {
  DRVENABLEDATA table = DefaultTable();
  ENGCALLBACKS callbacks = Callbacks();
  DrvEnableDriver(0, 0, &table, &callbacks);
  EXPECT_EQ(g_pfnCreateDeviceSurface, &FakeCreateSurface);
  EXPECT_EQ(g_pfnDeleteSurface, &FakeDeleteSurface);
  EXPECT_EQ(g_pfnCreatePalette, &FakeCreatePalette);
}

TEST(DrvEnableDriver, Slot14HookReturnsZero) {
  DRVENABLEDATA table = DefaultTable();
  ENGCALLBACKS callbacks = Callbacks();
  DrvEnableDriver(0, 0, &table, &callbacks);
  // The engine calls the slot with its own arguments; the hook ignores them.
  using SetPalette = ULONG(APIENTRY*)(DHPDEV, void*, FLONG, ULONG, ULONG);
  EXPECT_EQ(reinterpret_cast<SetPalette>(table.DrvSetPalette)(nullptr, nullptr, 1, 2, 3), 0u);
}

TEST(PrintContext, ReadsTheChannelSettingsWhenBuilt) {
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"numWakeUpBytes", 5);
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"EnableResetStatusviaRTS", 1);
  auto context = std::make_unique<PrintContext>();
  EXPECT_EQ(context->settings.numWakeUpBytes, 5u);
  EXPECT_EQ(context->settings.enableResetStatusViaRts, 1u);
  EXPECT_EQ(context->channel.device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(context->channel.fillCount, 0);
  EXPECT_EQ(context->channel.portIndex, 0);
  EXPECT_EQ(context->channel.capacity, 32768);
}

TEST(PrintContext, MissingSettingsKeepZero) {
  kelo::host::RemoveRegistryKey(u"Drivers\\BuiltIn\\KLP");
  auto context = std::make_unique<PrintContext>();
  EXPECT_EQ(context->settings.numWakeUpBytes, 0u);
  EXPECT_EQ(context->settings.enableResetStatusViaRts, 0u);
}

TEST(PrintContext, BuiltAndDestroyedWithoutUseSendsNothing) {
  auto service = kelo::test::InstallRecordingService();
  auto context = std::make_unique<PrintContext>();
  context.reset();
  EXPECT_TRUE(service->Calls().empty());
  EXPECT_EQ(service->opens(), 0);
}

TEST(PrintContext, DestructionFlushesAndClosesAnOpenChannel) {
  auto service = kelo::test::InstallRecordingService();
  auto context = std::make_unique<PrintContext>();
  ASSERT_NE(OpenChannel(context->channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteString(context->channel, "last"));
  context.reset();
  ASSERT_EQ(service->Writes().size(), 1u);
  EXPECT_EQ(service->CallsOf(KLP_CLOSE).size(), 1u);
  EXPECT_EQ(service->closes(), 1);
}
