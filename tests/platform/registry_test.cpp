// The registry: built-in content, registry-editor text, queries.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/host/host_api.h"

using kelo::host::ApplyRegistryText;
using kelo::host::StartDebugCapture;
using kelo::host::TakeDebugLines;

namespace {

std::u16string QueryString(const char16_t* path, const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<no key>";
  WCHAR buffer[256] = {};
  DWORD size = sizeof buffer;
  DWORD type = 0;
  const LONG result =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return u"<no value>";
  if (type != REG_SZ) return u"<not text>";
  return buffer;
}

bool QueryDword(const char16_t* path, const char16_t* name, DWORD& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = sizeof value;
  const LONG result =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_DWORD && size == 4;
}

constexpr const char16_t* kKlp = u"Drivers\\BuiltIn\\KLP";

}  // namespace

TEST(Registry, StartsWithTheBuiltInServiceKey) {
  EXPECT_EQ(QueryString(kKlp, u"Prefix"), u"KLP");
  EXPECT_EQ(QueryString(kKlp, u"Dll"), u"libkelo.so");
  DWORD index = 0;
  ASSERT_TRUE(QueryDword(kKlp, u"Index", index));
  EXPECT_EQ(index, 1u);
}

TEST(Registry, NamesIgnoreCase) {
  EXPECT_EQ(QueryString(u"drivers\\builtin\\klp", u"PREFIX"), u"KLP");
}

TEST(Registry, SizeQueryShortBufferAndMissingValue) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKlp, 0, KEY_READ, &key), ERROR_SUCCESS);
  SetLastError(0xDEADBEEF);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);  // three characters and the terminator
  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(RegQueryValueExW(key, u"Nothing", nullptr, &type, small, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), 0xDEADBEEFu);  // registry calls report by their result
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST(Registry, EnumeratesSubkeysToTheEnd) {
  kelo::host::SetRegistryDword(u"T\\Beta", u"x", 1);
  kelo::host::SetRegistryDword(u"T\\alpha", u"x", 1);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T", 0, KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD length = 32;
    const LONG result = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(length, std::u16string(name).size());
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"alpha", u"Beta"}));
  WCHAR tiny[3];
  DWORD length = 3;
  EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST(Registry, DeleteKeyTakesItsSubkeysAndStaleHandlesFail) {
  kelo::host::SetRegistryDword(u"Gone\\A\\B", u"x", 1);
  HKEY inner = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Gone\\A\\B", 0, KEY_READ, &inner),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Gone"), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Gone\\A", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_NE(RegQueryValueExW(inner, u"x", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  RegCloseKey(inner);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Gone"), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFile, ValuesEscapesCommentsAndDefaults) {
  const int bad = ApplyRegistryText(
      "; a comment line\r\n"
      "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\KLP]\r\n"
      "\"RTSOn\"=dword:0000000d   ; after a value\r\n"
      "\"Path\"=\"C:\\\\dir \\\"quoted\\\"\"\r\n"
      "@=\"default\"\r\n"
      "\"Blob\"=hex:01,ff,\\\n"
      "  20\n"
      "\"List\"=multi_sz:\"a\",\"bc\"\n"
      "\"Prefix\"=\"KLQ\"\n",
      "test.reg");
  EXPECT_EQ(bad, 0);
  DWORD on = 0;
  ASSERT_TRUE(QueryDword(kKlp, u"RTSOn", on));
  EXPECT_EQ(on, 13u);
  EXPECT_EQ(QueryString(kKlp, u"Path"), u"C:\\dir \"quoted\"");
  EXPECT_EQ(QueryString(kKlp, u""), u"default");
  EXPECT_EQ(QueryString(kKlp, u"Prefix"), u"KLQ");  // overrides the built-in value

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKlp, 0, KEY_READ, &key), ERROR_SUCCESS);
  BYTE blob[8] = {};
  DWORD size = sizeof blob;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(blob[1], 0xFF);
  EXPECT_EQ(blob[2], 0x20);
  WCHAR list[16] = {};
  size = sizeof list;
  ASSERT_EQ(RegQueryValueExW(key, u"List", nullptr, &type, reinterpret_cast<BYTE*>(list), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::u16string(list, size / 2), std::u16string(u"a\0bc\0\0", 6));
  RegCloseKey(key);
}

TEST(RegistryFile, EachBadLineGivesOneDiagnosticAndTheRestApplies) {
  StartDebugCapture();
  const int bad = ApplyRegistryText(
      "\"Orphan\"=dword:1\n"                    // 1: outside a section
      "[HKEY_LOCAL_MACHINE\\K]\n"               // 2
      "\"Big\"=dword:123456789\n"               // 3: over 32 bits
      "\"Bad\"=dword:zz\n"                      // 4: not hex
      "\"Open\"=\"unterminated\n"               // 5
      "\"Hex\"=hex:1,zz\n"                      // 6
      "\"Type\"=qword:1\n"                      // 7: unknown type
      "[HKEY_CURRENT_USER\\X]\n"                // 8: unsupported root
      "\"Lost\"=dword:1\n"                      // 9: no section in force
      "[HKEY_LOCAL_MACHINE\\K]\n"               // 10
      "\"Good\"=dword:2a\n"                     // 11
      "garbage\n",                              // 12
      "bad.reg");
  const auto lines = TakeDebugLines();
  EXPECT_EQ(bad, 9);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_NE(lines[0].find("bad.reg:1:"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("bad.reg:3:"), std::string::npos) << lines[1];
  EXPECT_NE(lines[8].find("bad.reg:12:"), std::string::npos) << lines[8];
  DWORD good = 0;
  ASSERT_TRUE(QueryDword(u"K", u"Good", good));
  EXPECT_EQ(good, 42u);
  DWORD ignored = 0;
  EXPECT_FALSE(QueryDword(u"K", u"Big", ignored));
}

TEST(RegistryFile, DeletesKeysAndValues) {
  kelo::host::SetRegistryDword(u"Old\\Sub", u"v", 1);
  kelo::host::SetRegistryDword(u"Keep", u"v", 1);
  kelo::host::SetRegistryDword(u"Keep", u"w", 1);
  EXPECT_EQ(ApplyRegistryText("[-HKEY_LOCAL_MACHINE\\Old]\n[HKEY_LOCAL_MACHINE\\Keep]\n\"v\"=-\n",
                              "x.reg"),
            0);
  DWORD value = 0;
  EXPECT_FALSE(QueryDword(u"Old\\Sub", u"v", value));
  EXPECT_FALSE(QueryDword(u"Keep", u"v", value));
  EXPECT_TRUE(QueryDword(u"Keep", u"w", value));
}

TEST(RegistryFile, LoadingAFileReplacesEarlierChangesAndAMissingFileIsNoError) {
  const std::string path = ::testing::TempDir() + "kelo_registry_test.reg";
  {
    std::ofstream file(path);
    file << "[HKEY_LOCAL_MACHINE\\Printers\\Ports]\n\"DefaultPrintPort\"=\"COM2:\"\n";
  }
  kelo::host::SetRegistryDword(u"Scratch", u"v", 1);
  ASSERT_TRUE(kelo::host::LoadRegistryFile(path));
  EXPECT_EQ(QueryString(u"Printers\\Ports", u"DefaultPrintPort"), u"COM2:");
  EXPECT_EQ(QueryString(kKlp, u"Prefix"), u"KLP");
  DWORD value = 0;
  EXPECT_FALSE(QueryDword(u"Scratch", u"v", value));
  std::remove(path.c_str());
  EXPECT_TRUE(kelo::host::LoadRegistryFile(path));
  EXPECT_EQ(QueryString(u"Printers\\Ports", u"DefaultPrintPort"), u"<no key>");
}

TEST(RegistryFile, TheEnvironmentNamesTheFileReadAtFirstUse) {
  // Runs in a process of its own, so the registry is first used here.
  const std::string path = ::testing::TempDir() + "kelo_env_test.reg";
  {
    std::ofstream file(path);
    file << "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\KLP]\n\"PrintTimeout\"=dword:3e8\n";
  }
  ::setenv("KELO_REGISTRY", path.c_str(), 1);
  DWORD timeout = 0;
  EXPECT_TRUE(QueryDword(kKlp, u"PrintTimeout", timeout));
  EXPECT_EQ(timeout, 1000u);
  std::remove(path.c_str());
}
