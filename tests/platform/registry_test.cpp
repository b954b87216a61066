// The registry functions over the in-memory tree and the seams that shape it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "tests/platform/registry_helpers.h"

using kelo::test::kServiceKey;
using kelo::test::QueryDword;
using kelo::test::QueryRaw;
using kelo::test::QueryString;

namespace {

constexpr DWORD kSentinel = 0x5EE1u;
const HKEY kCurrentUser =
    reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001)));

HKEY Open(const char16_t* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS) << "open";
  return key;
}

}  // namespace

TEST(Registry, StartsWithTheBuiltInServiceKey) {
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
  EXPECT_EQ(QueryString(kServiceKey, u"Dll"), u"libkelo.so");
  EXPECT_EQ(QueryDword(kServiceKey, u"Index"), 1u);
}

TEST(Registry, KeyAndValueNamesIgnoreCase) {
  EXPECT_EQ(QueryString(u"DRIVERS\\builtin\\Klp", u"pReFiX"), u"KLP");
  kelo::host::SetRegistryDword(u"Case\\Key", u"Value", 1);
  kelo::host::SetRegistryDword(u"CASE\\KEY", u"VALUE", 2);  // the same value
  EXPECT_EQ(QueryDword(u"case\\key", u"value"), 2u);
}

TEST(Registry, EmptyPartsOfAPathAreSkipped) {
  EXPECT_EQ(QueryString(u"\\Drivers\\\\BuiltIn\\KLP\\", u"Prefix"), u"KLP");
}

TEST(Registry, SizeQueryWithANullBuffer) {
  HKEY key = Open(kServiceKey);
  SetLastError(kSentinel);
  DWORD type = 0xFFFFFFFF;
  DWORD size = 0xFFFFFFFF;
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);  // three characters and the terminator, two bytes each
  size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Index", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(GetLastError(), kSentinel);  // registry calls report by their result only
  RegCloseKey(key);
}

TEST(Registry, AShortBufferGetsMoreDataWithTheSizeNeededAndStaysUnwritten) {
  HKEY key = Open(kServiceKey);
  BYTE small[6];
  std::memset(small, 0xFF, sizeof small);
  DWORD size = sizeof small;
  DWORD type = 0;
  SetLastError(kSentinel);
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, REG_SZ);
  for (const BYTE b : small) EXPECT_EQ(b, 0xFF);
  EXPECT_EQ(GetLastError(), kSentinel);
  RegCloseKey(key);
}

TEST(Registry, AStringComesWithItsTerminatorAndNothingBeyondIsWritten) {
  HKEY key = Open(kServiceKey);
  for (const BYTE fill : {BYTE{0x00}, BYTE{0xFF}}) {
    BYTE buffer[12];
    std::memset(buffer, fill, sizeof buffer);
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    ASSERT_EQ(size, 8u);
    const BYTE expected[8] = {'K', 0, 'L', 0, 'P', 0, 0, 0};
    EXPECT_EQ(std::memcmp(buffer, expected, 8), 0);
    for (size_t i = 8; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], fill) << i;
  }
  RegCloseKey(key);
}

TEST(Registry, AMissingValueOrKeyIsFileNotFound) {
  HKEY key = Open(kServiceKey);
  DWORD size = 4;
  BYTE data[4];
  SetLastError(kSentinel);
  EXPECT_EQ(RegQueryValueExW(key, u"Nothing", nullptr, nullptr, data, &size), ERROR_FILE_NOT_FOUND);
  HKEY none = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Nothing", 0, KEY_READ, &none),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), kSentinel);
  RegCloseKey(key);
}

TEST(Registry, OnlyTheLocalMachineRootAndOpenHandlesAreKeys) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(kCurrentUser, u"Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(kCurrentUser, u"x", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(kCurrentUser), ERROR_INVALID_HANDLE);
  EXPECT_EQ(
      RegQueryValueExW(reinterpret_cast<HKEY>(0x1234), u"x", nullptr, nullptr, nullptr, &size),
      ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // the root is never closed
  key = Open(kServiceKey);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST(Registry, EnumeratesSubkeysWithLengthsWithoutTheTerminatorThenNoMoreItems) {
  kelo::host::SetRegistryDword(u"Enum\\Beta", u"x", 1);
  kelo::host::SetRegistryDword(u"Enum\\alpha", u"x", 1);
  kelo::host::SetRegistryDword(u"Enum\\alpha\\Deeper", u"x", 1);  // not a direct subkey
  HKEY key = Open(u"Enum");
  std::vector<std::u16string> names;
  DWORD i = 0;
  for (;; ++i) {
    WCHAR name[16];
    std::memset(name, 0xFF, sizeof name);
    DWORD length = 16;
    FILETIME stamp;
    std::memset(&stamp, 0xFF, sizeof stamp);
    DWORD classLength = 7;
    const LONG result =
        RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, &classLength, &stamp);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    ASSERT_LT(length, 16u);
    EXPECT_EQ(name[length], u'\0');
    EXPECT_EQ(classLength, 0u);
    EXPECT_EQ(stamp.dwLowDateTime, 0u);
    EXPECT_EQ(stamp.dwHighDateTime, 0u);
    names.emplace_back(name, length);
  }
  EXPECT_EQ(i, 2u);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"alpha", u"Beta"}));  // original spelling
  WCHAR tiny[4];
  DWORD length = 4;  // "alpha" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyExW(key, 99, tiny, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST(Registry, DeleteKeyTakesItsSubkeys) {
  kelo::host::SetRegistryDword(u"Gone\\A\\B", u"x", 1);
  kelo::host::SetRegistryDword(u"Stay", u"x", 1);
  SetLastError(kSentinel);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"gone"), ERROR_SUCCESS);
  EXPECT_FALSE(QueryRaw(u"Gone\\A\\B", u"x"));
  EXPECT_FALSE(QueryRaw(u"Gone", u"x"));
  EXPECT_EQ(QueryDword(u"Stay", u"x"), 1u);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Gone"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetLastError(), kSentinel);
}

TEST(Registry, HandlesOfADeletedKeyFailCleanly) {
  kelo::host::SetRegistryDword(u"Doomed\\Inner", u"x", 1);
  HKEY outer = Open(u"Doomed");
  HKEY inner = Open(u"Doomed\\Inner");
  ASSERT_TRUE(kelo::host::RemoveRegistryKey(u"Doomed"));
  DWORD size = 0;
  const DWORD one = 1;
  HKEY sub = nullptr;
  WCHAR name[8];
  DWORD length = 8;
  EXPECT_EQ(RegQueryValueExW(inner, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExW(inner, u"y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCreateKeyExW(outer, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegEnumKeyExW(outer, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegDeleteValueW(inner, u"x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(inner), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(outer), ERROR_SUCCESS);
  // Writing through the old handle did not bring the key back.
  EXPECT_FALSE(QueryRaw(u"Doomed\\Inner", u"y"));
}

TEST(Registry, ResetDropsChangesAndInvalidatesHandles) {
  kelo::host::SetRegistryString(kServiceKey, u"Prefix", u"XYZ");
  HKEY key = Open(kServiceKey);
  kelo::host::ResetRegistry();
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
  RegCloseKey(key);
}

TEST(Registry, CreateSetAndDeleteValues) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Made\\Here", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 1u);  // created
  const WCHAR text[] = u"COM1:";
  ASSERT_EQ(
      RegSetValueExW(key, u"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
      ERROR_SUCCESS);
  const BYTE blob[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"Bad", 0, REG_BINARY, nullptr, 3), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);

  EXPECT_EQ(QueryString(u"Made\\Here", u"Port"), u"COM1:");
  const auto def = QueryRaw(u"Made\\Here", u"");  // a null name is the default value
  ASSERT_TRUE(def);
  EXPECT_EQ(def->data, (std::vector<BYTE>{1, 2, 3}));

  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"made\\here", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 2u);  // opened the existing key
  EXPECT_EQ(RegDeleteValueW(key, u"PORT"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"Port"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_FALSE(QueryRaw(u"Made\\Here", u"Port"));
}

TEST(Registry, SeamsCreateMissingKeysAndRemoveWhatTheyName) {
  kelo::host::SetRegistryBinary(u"Seam\\A", u"Blob", {9, 8});
  kelo::host::SetRegistryString(u"Seam\\A", u"Text", u"");
  const auto blob = QueryRaw(u"Seam\\A", u"Blob");
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->type, REG_BINARY);
  EXPECT_EQ(blob->data, (std::vector<BYTE>{9, 8}));
  const auto empty = QueryRaw(u"Seam\\A", u"Text");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->data.size(), 2u);  // the terminator alone
  EXPECT_TRUE(kelo::host::RemoveRegistryValue(u"Seam\\A", u"blob"));
  EXPECT_FALSE(kelo::host::RemoveRegistryValue(u"Seam\\A", u"Blob"));
  EXPECT_FALSE(kelo::host::RemoveRegistryValue(u"Seam\\None", u"Blob"));
  EXPECT_TRUE(kelo::host::RemoveRegistryKey(u"Seam"));
  EXPECT_FALSE(kelo::host::RemoveRegistryKey(u"Seam"));
  EXPECT_FALSE(kelo::host::RemoveRegistryKey(u""));  // the root stays
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
}
