// The service as the printer channel reaches it: libkelo.so activated by the
// device manager from the built-in key "Drivers\BuiltIn\KLP", then "KLP1:"
// opened and driven through CreateFileW and DeviceIoControl. This executable
// does not link the library's code, so every KLP_ entry point it reaches is
// the one libkelo.so exports.

#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "service/control_codes.h"
#include "tests/port/port_double.h"

namespace {

using kelo::test::InstallPort;
using kelo::test::PortDouble;

constexpr const char16_t* kDriverKey = u"Drivers\\BuiltIn\\KLP";

HANDLE OpenService() {
  return CreateFileW(u"KLP1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(ServiceModule, ActivatedFromTheLibraryServesAPortThroughDeviceIoControl) {
  auto com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
  ASSERT_EQ(OpenService(), INVALID_HANDLE_VALUE);  // not loaded yet
  HANDLE active = ActivateDevice(kDriverKey, 0);
  ASSERT_NE(active, nullptr) << "last error " << GetLastError();
  HANDLE klp = OpenService();
  ASSERT_NE(klp, INVALID_HANDLE_VALUE);

  const char16_t name[] = u"COM1: 19200";
  BYTE index = 0;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(klp, KLP_OPEN, const_cast<char16_t*>(name), sizeof(name),
                              &index, 1, &returned, nullptr));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(com1->TotalOpens(), 1);
  EXPECT_EQ(com1->Dcb().BaudRate, 19200u);

  std::vector<BYTE> data{0x1B, 0x40, 0x41, 0x42};
  EXPECT_TRUE(DeviceIoControl(klp, KLP_WRITE + index, data.data(),
                              static_cast<DWORD>(data.size()), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(com1->WrittenBytes(), data);
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(klp, KLP_WRITE + 7, data.data(),
                               static_cast<DWORD>(data.size()), nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(DeviceIoControl(klp, KLP_CLOSE + index, nullptr, 0, nullptr, 0, nullptr,
                              nullptr));
  EXPECT_TRUE(CloseHandle(klp));

  // The monitor that KLP_OPEN attached still holds the port; unloading stops
  // it, and its release is the final close.
  EXPECT_TRUE(DeactivateDevice(active));
  EXPECT_EQ(com1->OpenCount(), 0);
  EXPECT_EQ(OpenService(), INVALID_HANDLE_VALUE);
}

}  // namespace
