// The device namespace, host files and the handle table.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/host/host_api.h"
#include "platform/host/host_ports.h"

namespace {

constexpr DWORD kSentinel = 0x5EE1u;

class EchoDevice : public kelo::host::Device {
 public:
  int opens = 0;
  int closes = 0;
  std::string written;
  uintptr_t Open(DWORD, DWORD) override { return static_cast<uintptr_t>(++opens) + 100; }
  BOOL Close(uintptr_t) override {
    ++closes;
    return TRUE;
  }
  BOOL Read(uintptr_t, void* buffer, DWORD toRead, DWORD* read) override {
    const DWORD n = std::min<DWORD>(toRead, 2);
    std::memcpy(buffer, "OK", n);
    *read = n;
    return TRUE;
  }
  BOOL Write(uintptr_t, const void* buffer, DWORD toWrite, DWORD* put) override {
    written.append(static_cast<const char*>(buffer), toWrite);
    *put = toWrite;
    return TRUE;
  }
  BOOL IoControl(uintptr_t open, DWORD code, BYTE*, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    if (out == nullptr || outLen < 4) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    const DWORD answer = code + inLen + static_cast<DWORD>(open);
    std::memcpy(out, &answer, 4);
    if (code != 0x999) *returned = 4;  // 0x999: forgets to say how much it wrote
    return TRUE;
  }
};

// Calls back into the platform from inside its operations, as the device
// service does.
class ReentrantDevice : public kelo::host::Device {
 public:
  BOOL IoControl(uintptr_t, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) override {
    auto inner = std::make_shared<EchoDevice>();
    if (!kelo::host::RegisterDevice(u"INR1:", inner)) return FALSE;
    HANDLE handle = CreateFileW(u"INR1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    const BOOL ok = handle != INVALID_HANDLE_VALUE && WriteFile(handle, "x", 1, &written, nullptr);
    CloseHandle(handle);
    kelo::host::UnregisterDevice(u"INR1:");
    return ok;
  }
  BOOL Close(uintptr_t) override { return kelo::host::IsDeviceRegistered(u"RNT1:") ? TRUE : FALSE; }
};

class RefusingDevice : public kelo::host::Device {
 public:
  uintptr_t Open(DWORD, DWORD) override {
    SetLastError(ERROR_DEVICE_IN_USE);
    return 0;
  }
};

HANDLE OpenDevice(const char16_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::u16string TempName(const char* leaf) {
  return kelo::host::FromUtf8(::testing::TempDir() + leaf);
}

HANDLE OpenFile(const std::u16string& name, DWORD access, DWORD creation) {
  return CreateFileW(name.c_str(), access, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST(Devices, ARegisteredDeviceOpensReadsWritesControlsAndCloses) {
  auto device = std::make_shared<EchoDevice>();
  ASSERT_TRUE(kelo::host::RegisterDevice(u"TST1:", device));
  EXPECT_FALSE(kelo::host::RegisterDevice(u"tst1:", device));  // names ignore case
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"Tst1:"));
  HANDLE handle = OpenDevice(u"tst1:");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(device->opens, 1);

  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(device->written, "abc");
  char buffer[4] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(handle, buffer, 4, &read, nullptr));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer, 2), "OK");

  DWORD answer = 0;
  DWORD returned = 0xFFFFFFFF;
  EXPECT_TRUE(DeviceIoControl(handle, 0x200, nullptr, 5, &answer, 4, &returned, nullptr));
  EXPECT_EQ(answer, 0x200u + 5 + 101);  // the open context reached the device
  EXPECT_EQ(returned, 4u);
  returned = 0xFFFFFFFF;
  EXPECT_TRUE(DeviceIoControl(handle, 0x999, nullptr, 0, &answer, 4, &returned, nullptr));
  EXPECT_EQ(returned, 0u) << "never left unwritten";
  EXPECT_FALSE(DeviceIoControl(handle, 0x200, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(device->closes, 1);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(handle, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(kelo::host::UnregisterDevice(u"TST1:"));
  EXPECT_FALSE(kelo::host::UnregisterDevice(u"TST1:"));
}

TEST(Devices, WhatADeviceDoesNotOverrideIsNotSupported) {
  ASSERT_TRUE(kelo::host::RegisterDevice(u"BAS1:", std::make_shared<kelo::host::Device>()));
  HANDLE handle = OpenDevice(u"BAS1:");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  BYTE buffer[4];
  DWORD count = 9;
  EXPECT_FALSE(ReadFile(handle, buffer, 4, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(count, 0u);
  count = 9;
  EXPECT_FALSE(WriteFile(handle, buffer, 4, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(DeviceIoControl(handle, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  DCB dcb = {};
  EXPECT_FALSE(GetCommState(handle, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(CloseHandle(handle));
}

TEST(Devices, CommCallsRefuseAMissingStructureAndAnUnknownHandle) {
  // The base device answers ERROR_NOT_SUPPORTED: any other error shows that
  // the call stopped before reaching it.
  ASSERT_TRUE(kelo::host::RegisterDevice(u"COM7:", std::make_shared<kelo::host::Device>()));
  HANDLE handle = OpenDevice(u"COM7:");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  auto expectError = [](BOOL result, DWORD error, const char* call) {
    EXPECT_FALSE(result) << call;
    EXPECT_EQ(GetLastError(), error) << call;
  };
  const auto invalid = static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  expectError(GetCommState(handle, nullptr), invalid, "GetCommState");
  expectError(SetCommState(handle, nullptr), invalid, "SetCommState");
  expectError(GetCommTimeouts(handle, nullptr), invalid, "GetCommTimeouts");
  expectError(SetCommTimeouts(handle, nullptr), invalid, "SetCommTimeouts");
  DCB dcb = {};
  COMMTIMEOUTS timeouts = {};
  expectError(SetCommTimeouts(handle, &timeouts), static_cast<DWORD>(ERROR_NOT_SUPPORTED),
              "SetCommTimeouts reaching the device");
  EXPECT_TRUE(CloseHandle(handle));

  const auto badHandle = static_cast<DWORD>(ERROR_INVALID_HANDLE);
  expectError(GetCommState(handle, &dcb), badHandle, "GetCommState on a closed handle");
  expectError(SetCommState(handle, &dcb), badHandle, "SetCommState on a closed handle");
  expectError(GetCommTimeouts(handle, &timeouts), badHandle, "GetCommTimeouts on a closed handle");
  expectError(SetCommTimeouts(handle, &timeouts), badHandle, "SetCommTimeouts on a closed handle");
  expectError(PurgeComm(handle, 0), badHandle, "PurgeComm on a closed handle");
  EXPECT_TRUE(kelo::host::UnregisterDevice(u"COM7:"));
}

// A serial driver reads the control block's flag word at byte 8 as the
// platform lays it out, lowest bit first.
TEST(Devices, ControlBlockFlagBitsSitAtThePlatformsPositions) {
  struct Case {
    const char* field;
    void (*set)(DCB&);
    DWORD mask;
  };
  const Case cases[] = {
      {"fBinary", [](DCB& d) { d.fBinary = 1; }, 0x1},
      {"fParity", [](DCB& d) { d.fParity = 1; }, 0x2},
      {"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, 0x4},
      {"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, 0x8},
      {"fDtrControl", [](DCB& d) { d.fDtrControl = 3; }, 0x30},
      {"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, 0x40},
      {"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0x80},
      {"fOutX", [](DCB& d) { d.fOutX = 1; }, 0x100},
      {"fInX", [](DCB& d) { d.fInX = 1; }, 0x200},
      {"fErrorChar", [](DCB& d) { d.fErrorChar = 1; }, 0x400},
      {"fNull", [](DCB& d) { d.fNull = 1; }, 0x800},
      {"fRtsControl", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0x3000},
      {"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, 0x4000},
  };
  for (const Case& c : cases) {
    DCB dcb = {};
    c.set(dcb);
    DWORD word = 0;
    std::memcpy(&word, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof word);
    EXPECT_EQ(word, c.mask) << c.field;
  }
}

TEST(Devices, AFailedOpenKeepsTheDevicesReason) {
  ASSERT_TRUE(kelo::host::RegisterDevice(u"REF1:", std::make_shared<RefusingDevice>()));
  EXPECT_EQ(OpenDevice(u"REF1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_IN_USE));
}

TEST(Devices, AnOpenHandleKeepsTheDeviceAliveAfterUnregistering) {
  auto device = std::make_shared<EchoDevice>();
  std::weak_ptr<EchoDevice> watch = device;
  ASSERT_TRUE(kelo::host::RegisterDevice(u"TST2:", device));
  HANDLE handle = OpenDevice(u"TST2:");
  ASSERT_TRUE(kelo::host::UnregisterDevice(u"TST2:"));
  device.reset();
  EXPECT_FALSE(watch.expired());
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "x", 1, &written, nullptr));
  EXPECT_EQ(OpenDevice(u"TST2:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_TRUE(watch.expired());
}

TEST(Devices, ADeviceMayCallBackIntoThePlatform) {
  ASSERT_TRUE(kelo::host::RegisterDevice(u"RNT1:", std::make_shared<ReentrantDevice>()));
  HANDLE handle = OpenDevice(u"RNT1:");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeviceIoControl(handle, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(handle));  // Close asks the namespace too
}

TEST(Devices, AMissingDeviceFailsWithFileNotFound) {
  SetLastError(0);
  EXPECT_EQ(OpenDevice(u"COM9:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(OpenDevice(u""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileW(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST(Devices, MappedPortsGoThroughThePortMapper) {
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM4:", u"/nowhere/tty");
  kelo::host::SetRegistryDword(u"Host\\Ports", u"COM6:", 6);  // not text: not a mapping
  EXPECT_EQ(OpenDevice(u"COM4:"), INVALID_HANDLE_VALUE);      // host default: no such path
  EXPECT_EQ(GetLastError(), 3u);  // path not found: the directory is missing

  std::u16string seenName;
  std::u16string seenTarget;
  auto device = std::make_shared<EchoDevice>();
  kelo::host::SetPortMapper([&](std::u16string_view name, std::u16string_view target) {
    seenName = name;
    seenTarget = target;
    if (target == u"/busy") SetLastError(ERROR_SHARING_VIOLATION);
    if (target != u"/nowhere/tty") return std::shared_ptr<kelo::host::Device>();
    return std::static_pointer_cast<kelo::host::Device>(device);
  });
  HANDLE handle = OpenDevice(u"com4:");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(seenName, u"com4:");
  EXPECT_EQ(seenTarget, u"/nowhere/tty");
  CloseHandle(handle);

  seenTarget.clear();
  EXPECT_EQ(OpenDevice(u"COM5:"), INVALID_HANDLE_VALUE);  // not mapped: mapper not asked
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenDevice(u"COM6:"), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(seenTarget.empty());

  kelo::host::SetRegistryString(u"Host\\Ports", u"COM7:", u"/busy");
  EXPECT_EQ(OpenDevice(u"COM7:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));  // the mapper's reason
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM8:", u"/absent");
  EXPECT_EQ(OpenDevice(u"COM8:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // An in-process device comes first.
  auto local = std::make_shared<EchoDevice>();
  ASSERT_TRUE(kelo::host::RegisterDevice(u"COM4:", local));
  handle = OpenDevice(u"COM4:");
  EXPECT_EQ(local->opens, 1);
  EXPECT_EQ(device->opens, 1);
  CloseHandle(handle);
  kelo::host::InstallHostPortMapper();
}

TEST(Files, WriteThenReadBack) {
  const std::u16string name = TempName("kelo_devices_test.bin");
  SetLastError(kSentinel);
  HANDLE out = OpenFile(name, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(out, "\x1B\x67\x00", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(DeviceIoControl(out, 0x16000C, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(CloseHandle(out));

  HANDLE in = OpenFile(name, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  BYTE buffer[8];
  std::memset(buffer, 0xFF, sizeof buffer);
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(std::memcmp(buffer, "\x1B\x67\x00", 3), 0);
  EXPECT_EQ(buffer[3], 0xFF);
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);                                     // end of file
  EXPECT_FALSE(WriteFile(in, "x", 1, &written, nullptr));  // opened for reading only
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(in);
  std::remove(kelo::host::ToUtf8(name).c_str());
  EXPECT_EQ(OpenFile(name, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Files, CreationDispositionsAndWhatTheyReport) {
  const std::u16string name = TempName("kelo_dispositions.bin");
  std::remove(kelo::host::ToUtf8(name).c_str());
  EXPECT_EQ(OpenFile(name, GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  SetLastError(kSentinel);
  HANDLE file = OpenFile(name, GENERIC_WRITE, OPEN_ALWAYS);  // made
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD written = 0;
  WriteFile(file, "12345", 5, &written, nullptr);
  CloseHandle(file);

  file = OpenFile(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);  // there: kept
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  char buffer[8];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 5u);
  CloseHandle(file);

  EXPECT_EQ(OpenFile(name, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 80u);  // ERROR_FILE_EXISTS

  file = OpenFile(name, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);  // there: truncated
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  WriteFile(file, "ab", 2, &written, nullptr);
  CloseHandle(file);

  file = OpenFile(name, GENERIC_READ | GENERIC_WRITE, TRUNCATE_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  CloseHandle(file);

  EXPECT_EQ(OpenFile(name, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  std::remove(kelo::host::ToUtf8(name).c_str());
}

TEST(Files, ADirectoryIsNoFile) {
  const std::u16string name = kelo::host::FromUtf8(::testing::TempDir());
  EXPECT_EQ(OpenFile(name, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Handles, AreNeverZeroOrMinusOneAndNotReusedSoonAfterClosing) {
  std::set<HANDLE> closed;
  for (int i = 0; i < 50; ++i) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(closed.count(event), 0u);
    closed.insert(event);
    CloseHandle(event);
  }
  for (HANDLE stale : closed) {
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
  }
}

TEST(Handles, CloseHandleOnAnUnknownValueFails) {
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE)));
}

TEST(Handles, AnEventHandleIsNoFile) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  BYTE buffer[4];
  DWORD count = 5;
  EXPECT_FALSE(ReadFile(event, buffer, 4, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(DeviceIoControl(event, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  uintptr_t open = 0;
  EXPECT_EQ(kelo::host::DeviceForHandle(event, &open), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(event);
}
