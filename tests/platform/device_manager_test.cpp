// The device manager stand-in (ActivateDevice, DeactivateDevice), caller
// buffers and GDI objects.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/host/host_api.h"

namespace {

constexpr DWORD kSentinel = 0x5EE1u;
constexpr const char16_t* kKey = u"Drivers\\BuiltIn\\KLP";

// Entry points of a driver registered with RegisterModule; static state,
// since each test case runs in its own process.
struct Module {
  static inline std::u16string key;
  static inline LPCVOID context = nullptr;
  static inline int inits = 0;
  static inline int deinits = 0;
  static inline DWORD initResult = 77;
  static DWORD Init(LPCWSTR activeKey, LPCVOID busContext) {
    ++inits;
    key = activeKey;
    context = busContext;
    if (initResult == 0) SetLastError(ERROR_NOT_READY);
    return initResult;
  }
  static BOOL Deinit(DWORD deviceContext) {
    deinits += deviceContext == 77;
    return TRUE;
  }
  static DWORD Open(DWORD deviceContext, DWORD, DWORD) { return deviceContext + 1; }
  static BOOL Close(DWORD) { return TRUE; }
  static BOOL IoControl(DWORD open, DWORD, PBYTE, DWORD, PBYTE out, DWORD outLen, PDWORD actual) {
    if (out == nullptr || outLen < 4) return FALSE;
    std::memcpy(out, &open, 4);
    if (actual != nullptr) *actual = 4;
    return TRUE;
  }
  static DWORD Read(DWORD, LPVOID buffer, DWORD count) {
    if (count == 0) return MAXDWORD;  // the driver's failure
    static_cast<BYTE*>(buffer)[0] = 0x42;
    return 1;
  }
  static kelo::host::SymbolTable Symbols(const std::string& prefix = "KLP") {
    return {{prefix + "_Init", reinterpret_cast<void*>(&Init)},
            {prefix + "_Deinit", reinterpret_cast<void*>(&Deinit)},
            {prefix + "_Open", reinterpret_cast<void*>(&Open)},
            {prefix + "_Close", reinterpret_cast<void*>(&Close)},
            {prefix + "_IOControl", reinterpret_cast<void*>(&IoControl)},
            {prefix + "_Read", reinterpret_cast<void*>(&Read)}};
  }
};

DWORD OpenContextOf(const char16_t* name) {
  HANDLE handle = CreateFileW(name, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  DWORD open = 0;
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(handle, 0x100, nullptr, 0, &open, 4, &returned, nullptr);
  CloseHandle(handle);
  return ok && returned == 4 ? open : 0;
}

}  // namespace

TEST(DeviceManager, ActivatesARegisteredModulePublishesAndDeactivates) {
  kelo::host::RegisterModule(u"LIBKELO.SO", Module::Symbols());  // Dll names ignore case
  SetLastError(kSentinel);
  HANDLE active = ActivateDevice(kKey, 0x33);
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(Module::key, kKey);
  EXPECT_EQ(Module::context, reinterpret_cast<LPCVOID>(0x33));
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  EXPECT_EQ(OpenContextOf(u"KLP1:"), 78u);  // the open context the driver handed out

  HANDLE handle = CreateFileW(u"klp1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  BYTE byte = 0;
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(handle, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(byte, 0x42);
  EXPECT_FALSE(ReadFile(handle, &byte, 0, &read, nullptr));  // the driver returned -1
  DWORD written = 5;
  EXPECT_FALSE(WriteFile(handle, "x", 1, &written, nullptr));  // no KLP_Write
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  CloseHandle(handle);

  EXPECT_FALSE(CloseHandle(active));  // only DeactivateDevice releases it
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  EXPECT_TRUE(DeactivateDevice(active));
  EXPECT_EQ(Module::deinits, 1);
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  EXPECT_EQ(CreateFileW(u"KLP1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeactivateDevice(active));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Module::deinits, 1);
}

TEST(DeviceManager, ATakenNameFailsWithAlreadyExistsWithoutCallingInit) {
  kelo::host::RegisterModule(u"libkelo.so", Module::Symbols());
  HANDLE active = ActivateDevice(kKey, 0);
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Module::inits, 1);
  DeactivateDevice(active);

  ASSERT_TRUE(kelo::host::RegisterDevice(u"KLP1:", std::make_shared<kelo::host::Device>()));
  EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Module::inits, 1);
}

TEST(DeviceManager, AFailedInitPublishesNothing) {
  kelo::host::RegisterModule(u"libkelo.so", Module::Symbols());
  Module::initResult = 0;
  EXPECT_EQ(ActivateDevice(kKey, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));  // Init's own reason
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"KLP1:"));
  Module::initResult = 77;
  HANDLE active = ActivateDevice(kKey, 0);  // the name was not left reserved
  EXPECT_NE(active, nullptr);
  DeactivateDevice(active);
}

TEST(DeviceManager, TheIndexNamesTheDeviceAndDefaultsToOne) {
  kelo::host::RegisterModule(u"abc.so", Module::Symbols("ABC"));
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Dll", u"abc.so");
  HANDLE first = ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"ABC1:"));
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\ABC", u"Index", 4);
  HANDLE fourth = ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0);
  ASSERT_NE(fourth, nullptr);
  EXPECT_TRUE(kelo::host::IsDeviceRegistered(u"ABC4:"));
  DeactivateDevice(first);
  DeactivateDevice(fourth);
}

TEST(DeviceManager, MissingKeysAndValuesAreFileNotFound) {
  kelo::host::RegisterModule(u"abc.so", Module::Symbols("ABC"));
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\Nothing", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ActivateDevice(nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);  // no Dll
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\ABC", u"Dll", 1);  // not text
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Module::inits, 0);
}

TEST(DeviceManager, ValuesThatCannotMakeALegacyNameAreRefused) {
  kelo::host::RegisterModule(u"abc.so", Module::Symbols("ABC"));
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Dll", u"abc.so");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABCD");
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\ABC", u"Index", 10);
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Module::inits, 0);
}

TEST(DeviceManager, ALibraryThatCannotBeLoadedIsModNotFound) {
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Dll", u"libkelo-missing.so");
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"ABC1:"));
}

TEST(DeviceManager, AMissingEntryPointIsProcNotFound) {
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Prefix", u"ABC");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\ABC", u"Dll", u"abc.so");
  auto symbols = Module::Symbols("ABC");
  symbols.erase("ABC_IOControl");
  kelo::host::RegisterModule(u"abc.so", symbols);
  EXPECT_EQ(ActivateDevice(u"Drivers\\BuiltIn\\ABC", 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"ABC1:"));
  EXPECT_EQ(Module::inits, 0);
}

TEST(DeviceManager, LoadsARealLibraryFromThePlatformsDirectory) {
  // Only the file name: found beside libkelo_platform.so, not on the path.
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\TSD", u"Prefix", u"TSD");
  kelo::host::SetRegistryString(u"Drivers\\BuiltIn\\TSD", u"Dll", u"libkelo_test_stream_driver.so");
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\TSD", u"Index", 2);
  HANDLE active =
      ActivateDeviceEx(u"Drivers\\BuiltIn\\TSD", nullptr, 0, reinterpret_cast<LPVOID>(0x10));
  ASSERT_NE(active, nullptr) << GetLastError();
  EXPECT_EQ(OpenContextOf(u"TSD2:"), 0x5011u);  // Init 0x5000 + context, Open + 1
  HANDLE handle = CreateFileW(u"TSD2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(handle, "abcd", 4, &written, nullptr));
  EXPECT_EQ(written, 3u);  // the driver's count
  CloseHandle(handle);
  EXPECT_TRUE(DeactivateDevice(active));
  EXPECT_FALSE(kelo::host::IsDeviceRegistered(u"TSD2:"));
}

TEST(DeviceManager, DeactivateDeviceLeavesOtherHandlesAlone) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(DeactivateDevice(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(SetEvent(event));  // still in the table
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(DeactivateDevice(nullptr));
}

TEST(CallerBuffers, TheCallersBufferIsTheViewInOneAddressSpace) {
  WCHAR name[] = u"COM1:";
  PVOID view = nullptr;
  EXPECT_EQ(CeOpenCallerBuffer(&view, name, sizeof name, ARG_I_WSTR, FALSE), S_OK);
  EXPECT_EQ(view, name);
  EXPECT_EQ(CeCloseCallerBuffer(view, name, sizeof name, ARG_I_WSTR), S_OK);
  view = name;
  EXPECT_EQ(CeOpenCallerBuffer(&view, nullptr, 0, ARG_I_WSTR, FALSE), S_OK);
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(CeOpenCallerBuffer(nullptr, name, sizeof name, ARG_I_WSTR, FALSE), E_INVALIDARG);
  EXPECT_EQ(CeOpenCallerBuffer(&view, nullptr, 4, ARG_I_WSTR, FALSE), E_INVALIDARG);
  // A wide string must end within the size given.
  WCHAR unterminated[] = {u'C', u'O', u'M'};
  EXPECT_EQ(CeOpenCallerBuffer(&view, unterminated, sizeof unterminated, ARG_I_WSTR, FALSE),
            E_INVALIDARG);
  EXPECT_EQ(CeOpenCallerBuffer(&view, name, sizeof name - 2, ARG_I_WSTR, FALSE), E_INVALIDARG);
  EXPECT_EQ(CeOpenCallerBuffer(&view, name, 0, ARG_I_WSTR, FALSE), E_INVALIDARG);
  kelo::host::FailCallerBufferOpens(true);
  EXPECT_EQ(CeOpenCallerBuffer(&view, name, sizeof name, ARG_I_WSTR, FALSE), E_ACCESSDENIED);
  kelo::host::FailCallerBufferOpens(false);
}

TEST(Gdi, DeleteObjectGoesToTheDeleterOrChecksForNull) {
  SetLastError(kSentinel);
  EXPECT_TRUE(DeleteObject(reinterpret_cast<HGDIOBJ>(0x40)));
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_FALSE(DeleteObject(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HGDIOBJ seen = nullptr;
  kelo::host::SetGdiObjectDeleter([&](HGDIOBJ object) -> BOOL {
    seen = object;
    return FALSE;
  });
  EXPECT_FALSE(DeleteObject(reinterpret_cast<HGDIOBJ>(0x50)));
  EXPECT_EQ(seen, reinterpret_cast<HGDIOBJ>(0x50));
  kelo::host::SetGdiObjectDeleter(nullptr);
  EXPECT_TRUE(DeleteObject(reinterpret_cast<HGDIOBJ>(0x60)));
}
