// The device namespace, host files and the device manager stand-in.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/host/host_api.h"

namespace {

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
    if (returned != nullptr) *returned = 4;
    return TRUE;
  }
};

struct Module {
  static inline std::u16string key;
  static inline int deinits = 0;
  static DWORD Init(LPCWSTR activeKey, LPCVOID) {
    key = activeKey;
    return 77;
  }
  static BOOL Deinit(DWORD context) {
    deinits += context == 77;
    return TRUE;
  }
  static DWORD Open(DWORD context, DWORD, DWORD) { return context + 1; }
  static BOOL Close(DWORD) { return TRUE; }
  static BOOL IoControl(DWORD open, DWORD, PBYTE, DWORD, PBYTE out, DWORD outLen, PDWORD) {
    if (out == nullptr || outLen < 4) return FALSE;
    std::memcpy(out, &open, 4);
    return TRUE;
  }
  static kelo::host::SymbolTable Symbols() {
    return {{"KLP_Init", reinterpret_cast<void*>(&Init)},
            {"KLP_Deinit", reinterpret_cast<void*>(&Deinit)},
            {"KLP_Open", reinterpret_cast<void*>(&Open)},
            {"KLP_Close", reinterpret_cast<void*>(&Close)},
            {"KLP_IOControl", reinterpret_cast<void*>(&IoControl)}};
  }
};

}  // namespace

TEST(Devices, RegisteredDeviceOpensWritesAndControls) {
  auto device = std::make_shared<EchoDevice>();
  ASSERT_TRUE(kelo::host::RegisterDevice(u"TST1:", device));
  EXPECT_FALSE(kelo::host::RegisterDevice(u"tst1:", device));  // names ignore case
  HANDLE handle = CreateFileW(u"tst1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(device->written, "abc");
  DWORD answer = 0;
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(handle, 0x200, nullptr, 5, &answer, 4, &returned, nullptr));
  EXPECT_EQ(answer, 0x200u + 5 + 101);
  EXPECT_FALSE(DeviceIoControl(handle, 0x200, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char buffer[4];
  DWORD read = 9;
  EXPECT_FALSE(ReadFile(handle, buffer, 4, &read, nullptr));  // the device cannot read
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(device->closes, 1);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Devices, AnOpenHandleOutlivesUnregistering) {
  auto device = std::make_shared<EchoDevice>();
  ASSERT_TRUE(kelo::host::RegisterDevice(u"TST2:", device));
  HANDLE handle = CreateFileW(u"TST2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(kelo::host::UnregisterDevice(u"TST2:"));
  device.reset();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "x", 1, &written, nullptr));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(CreateFileW(u"TST2:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

TEST(Devices, MissingDeviceFailsWithFileNotFound) {
  EXPECT_EQ(CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Devices, MappedPortsGoThroughThePortMapper) {
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM4:", u"/nowhere/tty");
  std::u16string seenTarget;
  auto device = std::make_shared<EchoDevice>();
  kelo::host::SetPortMapper([&](std::u16string_view, std::u16string_view target) {
    seenTarget = std::u16string(target);
    return std::static_pointer_cast<kelo::host::Device>(device);
  });
  HANDLE handle = CreateFileW(u"COM4:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(seenTarget, u"/nowhere/tty");
  CloseHandle(handle);
  EXPECT_EQ(CreateFileW(u"COM5:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);  // not mapped
  kelo::host::SetPortMapper(nullptr);
}

TEST(Files, WriteThenReadBack) {
  const std::string path = ::testing::TempDir() + "kelo_devices_test.bin";
  const std::u16string name = kelo::host::FromUtf8(path);
  HANDLE out = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(out, "\x1B\x67\x00", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(DeviceIoControl(out, 0x16000C, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  CloseHandle(out);
  HANDLE in = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  BYTE buffer[8] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(buffer[1], 0x67);
  CloseHandle(in);
  std::remove(path.c_str());
  EXPECT_EQ(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(DeviceManager, ActivatesAModulePublishesAndDeactivates) {
  kelo::host::RegisterModule(u"LIBKELO.SO", Module::Symbols());
  HANDLE active = ActivateDevice(u"Drivers\\BuiltIn\\KLP", 0);
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(Module::key, u"Drivers\\BuiltIn\\KLP");
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  // A second activation finds the name taken.
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\KLP", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  HANDLE handle = CreateFileW(u"KLP1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD open = 0;
  EXPECT_TRUE(DeviceIoControl(handle, 0x100, nullptr, 0, &open, 4, nullptr, nullptr));
  EXPECT_EQ(open, 78u);  // the open context the module handed out
  CloseHandle(handle);

  EXPECT_TRUE(DeactivateDevice(active));
  EXPECT_EQ(Module::deinits, 1);
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  EXPECT_FALSE(DeactivateDevice(active));
}

TEST(DeviceManager, FailsCleanlyForMissingKeysLibrariesAndEntries) {
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\Nothing", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Dll", u"libkelo-missing.so");
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  kelo::host::RegisterModule(u"libkelo-missing.so", {{"ABC_Init", nullptr}});
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"ABC1:"));
}

TEST(CallerBuffers, SameAddressSpace) {
  WCHAR name[] = u"COM1:";
  PVOID view = nullptr;
  EXPECT_EQ(CeOpenCallerBuffer(&view, name, sizeof name, ARG_I_WSTR, FALSE), S_OK);
  EXPECT_EQ(view, name);
  EXPECT_EQ(CeCloseCallerBuffer(view, name, sizeof name, ARG_I_WSTR), S_OK);
  EXPECT_EQ(CeOpenCallerBuffer(nullptr, name, sizeof name, ARG_I_WSTR, FALSE), E_INVALIDARG);
  EXPECT_EQ(CeOpenCallerBuffer(&view, nullptr, 4, ARG_I_WSTR, FALSE), E_INVALIDARG);
}
