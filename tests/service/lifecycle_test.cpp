// Loading and unloading the service, its settings, the do-nothing exports.

#include "channel/channel.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;

class ServiceLifecycle : public ServiceTest {};

TEST_F(ServiceLifecycle, InitWithoutKeyKeepsDefaults) {
  kelo::host::RemoveRegistryKey(kServiceKey);
  Load();
  EXPECT_FALSE(ServiceState.RTSOnOff);
  EXPECT_EQ(ServiceState.RTSOn, 13u);
  EXPECT_EQ(ServiceState.RTSOff, 1u);
  EXPECT_EQ(ServiceState.ResetTime, 220u);
  EXPECT_EQ(ServiceState.ResetWaitTime, 400u);
  EXPECT_EQ(ServiceState.RTSMaxRetries, 1000u);
  EXPECT_EQ(ServiceState.RTSRetryWait, 50u);
  EXPECT_NE(ServiceState.statusDataEvent, nullptr);
  EXPECT_NE(ServiceState.statusTimeoutEvent, nullptr);
  EXPECT_EQ(ServiceState.monitorThread.load(), nullptr);  // started on demand only
  EXPECT_EQ(OpenPortCount(), 0u);
}

TEST_F(ServiceLifecycle, RegistryValuesAreTakenAsRead) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 0);  // present: on, whatever it holds
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOn", 0x10D);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOff", 7);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetTime", 500);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetWaitTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSMaxRetries", 3);
  kelo::host::SetRegistryString(kServiceKey, u"RTSRetryWait", u"not a number");
  Load();
  EXPECT_TRUE(ServiceState.RTSOnOff);
  EXPECT_EQ(ServiceState.RTSOn, 0x10Du);
  EXPECT_EQ(ServiceState.RTSOff, 7u);
  EXPECT_EQ(ServiceState.ResetTime, 500u);
  EXPECT_EQ(ServiceState.ResetWaitTime, 0u);
  EXPECT_EQ(ServiceState.RTSMaxRetries, 3u);
  EXPECT_EQ(ServiceState.RTSRetryWait, 50u);  // unreadable as 4 bytes: default
}

TEST_F(ServiceLifecycle, ReloadRereadsSettingsAndRecreatesLockAndEvents) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  Load();
  EXPECT_TRUE(ServiceState.RTSOnOff);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(KLP_Deinit(1));  // monitor never started: at once
  EXPECT_LT(GetTickCount() - start, 100u);
  EXPECT_FALSE(ServiceState.lockCreated);
  EXPECT_EQ(ServiceState.statusDataEvent, nullptr);
  // Control calls after unloading fail instead of touching a deleted lock.
  SetLastError(kSentinelError);
  EXPECT_FALSE(Control(KLP_GET_INDEX, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  kelo::host::RemoveRegistryValue(kServiceKey, u"RTSOnOff");
  Load();
  EXPECT_FALSE(ServiceState.RTSOnOff);
  EXPECT_TRUE(ServiceState.lockCreated);
}

TEST_F(ServiceLifecycle, DoNothingExportsReturnOne) {
  Load();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(KLP_Open(1, 0, 0), 1u);
  EXPECT_EQ(KLP_Close(1), 1);
  EXPECT_EQ(DrvAdvPageSetupDlg(), 1u);
  EXPECT_EQ(GetPrinterStatus(), 1u);
  EXPECT_EQ(ResetPrinter(), 1u);
  EXPECT_EQ(StopPortMonitor(), 1u);
  EXPECT_EQ(UpdatePrinterStatus(), 1u);
  EXPECT_EQ(OpenPortCount(), 0u);
}

TEST_F(ServiceLifecycle, EnsureMonitorStartsOneThread) {
  Load();
  EXPECT_TRUE(ensureMonitor());
  HANDLE first = ServiceState.monitorThread.load();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(ServiceState.monitorThreadId.load(), 0u);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(ensureMonitor());  // keep-alive only
  EXPECT_GE(GetTickCount() - start, 150u);
  EXPECT_EQ(ServiceState.monitorThread.load(), first);
  const DWORD stopStart = GetTickCount();
  EXPECT_TRUE(KLP_Deinit(1));
  EXPECT_LT(GetTickCount() - stopStart, 1000u);
  EXPECT_EQ(ServiceState.monitorThread.load(), nullptr);
  EXPECT_EQ(ServiceState.monitorThreadId.load(), 0u);
  Load();  // TearDown unloads again
}

}  // namespace
