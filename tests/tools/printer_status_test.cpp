// The reset as an application asks for it, in this process: libkelo.so
// activated by the device manager, an emulated printer as its port, and a
// document open on that port through the service's control interface.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "emulator/emulated_printer.h"
#include "emulator/emulator_ports.h"
#include "kelo/service_control.h"
#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "tools/common/printer_status.h"
#include "tools/common/service_session.h"

namespace {

bool HasReset(const std::vector<BYTE>& bytes) {
  const BYTE reset[] = {0x1B, 0x40};
  return std::search(bytes.begin(), bytes.end(), std::begin(reset), std::end(reset)) != bytes.end();
}

TEST(ResetPrinter, IsRefusedWhileADocumentIsPrintedOnThePortAndSentAfterwards) {
  kelo::host::StartDebugCapture();
  kelo::host::SetRegistryString(u"Host\\Ports", u"LPT1:", u"emulator:");
  kelo::emulator::InstallEmulatorPorts();
  kelo::cli::ServiceSession service;
  ASSERT_TRUE(service.Start()) << GetLastError();
  HANDLE klp = CreateFileW(u"KLP1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(klp, INVALID_HANDLE_VALUE);
  char16_t name[] = u"LPT1:";
  BYTE index = 0;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(klp, KLP_OPEN, name, sizeof name, &index, 1, &returned, nullptr));
  ASSERT_TRUE(DeviceIoControl(klp, KLP_BEGIN_JOB + index, nullptr, 0, nullptr, 0, nullptr,
                              nullptr));
  auto printer = kelo::emulator::EmulatedPrinterFor(u"LPT1:");
  ASSERT_NE(printer, nullptr);

  EXPECT_EQ(kelo::cli::ResetPrinter(u"LPT1:", false), kelo::cli::ResetOutcome::kBusy);

  ASSERT_TRUE(DeviceIoControl(klp, KLP_END_JOB + index, nullptr, 0, nullptr, 0, nullptr,
                              nullptr));
  EXPECT_EQ(kelo::cli::ResetPrinter(u"LPT1:", false), kelo::cli::ResetOutcome::kDone);
  ASSERT_TRUE(DeviceIoControl(klp, KLP_CLOSE + index, nullptr, 0, nullptr, 0, nullptr, nullptr));
  CloseHandle(klp);
  // Deactivation ends the monitor after the messages it was given.
  service.Stop();
  const std::vector<BYTE> received = printer->ReceivedBytes();
  EXPECT_TRUE(HasReset(received)) << "the reset after the document never arrived";
  EXPECT_EQ(std::count(received.begin(), received.end(), BYTE{0x40}), 1)
      << "one reset only: the refused one sent nothing";
  kelo::host::StopDebugCapture();
}

}  // namespace
