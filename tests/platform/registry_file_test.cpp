// Registry-editor text and files: values, escapes, comments, deletions, the
// diagnostics of bad lines, and the file named by KELO_REGISTRY.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "tests/platform/registry_helpers.h"

using kelo::host::ApplyRegistryText;
using kelo::test::kServiceKey;
using kelo::test::QueryDword;
using kelo::test::QueryRaw;
using kelo::test::QueryString;

namespace {

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
  std::vector<BYTE> out;
  for (const char16_t c : text) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  return out;
}

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream file(path, std::ios::binary);
  file << text;
  return path;
}

// Applies `text` and returns the diagnostics it produced.
std::vector<std::string> Diagnostics(const std::string& text, int* bad = nullptr) {
  kelo::host::StartDebugCapture();
  const int count = ApplyRegistryText(text, "t.reg");
  auto lines = kelo::host::TakeDebugLines();
  kelo::host::StopDebugCapture();
  if (bad != nullptr) *bad = count;
  return lines;
}

}  // namespace

TEST(RegistryFile, ValueKindsEscapesAndComments) {
  const auto lines = Diagnostics(
      "; a comment line\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\KLP]   ; after a key\r\n"
      "\"RTSOn\"=dword:0000000d   ; after a value\r\n"
      "\"Path\"=\"C:\\\\dir \\\"quoted\\\" ; not a comment\"\r\n"
      "\"Odd\\\\Name\"=\"keeps a \\lone backslash\"\r\n"
      "\"Blob\" = hex:01,ff, 20 ; spaced\r\n"
      "\"Empty\"=hex:\r\n"
      "\"List\"=multi_sz:\"a\", \"b,c\"\r\n"
      "\"Wide\"=dword:FFFFFFFF\n"
      "\"Zeros\"=DWORD:000000001\n");
  EXPECT_TRUE(lines.empty()) << lines[0];
  EXPECT_EQ(QueryDword(kServiceKey, u"RTSOn"), 13u);
  EXPECT_EQ(QueryString(kServiceKey, u"Path"), u"C:\\dir \"quoted\" ; not a comment");
  EXPECT_EQ(QueryString(kServiceKey, u"Odd\\Name"), u"keeps a \\lone backslash");
  const auto blob = QueryRaw(kServiceKey, u"Blob");
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->type, REG_BINARY);
  EXPECT_EQ(blob->data, (std::vector<BYTE>{0x01, 0xFF, 0x20}));
  const auto empty = QueryRaw(kServiceKey, u"Empty");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->data.empty());
  const auto list = QueryRaw(kServiceKey, u"List");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->type, REG_MULTI_SZ);
  EXPECT_EQ(list->data, Utf16Bytes(std::u16string(u"a\0b,c\0\0", 7)));
  EXPECT_EQ(QueryDword(kServiceKey, u"Wide"), 0xFFFFFFFFu);
  EXPECT_EQ(QueryDword(kServiceKey, u"Zeros"), 1u);        // leading zeros are no overflow
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");  // untouched built-in values stay
}

TEST(RegistryFile, AtNamesTheDefaultValue) {
  EXPECT_EQ(ApplyRegistryText("[HKEY_LOCAL_MACHINE\\D]\n@=\"default\"\n", "t.reg"), 0);
  EXPECT_EQ(QueryString(u"D", u""), u"default");
  EXPECT_EQ(QueryString(u"D", nullptr), u"default");
}

TEST(RegistryFile, OverridesTheBuiltInContent) {
  EXPECT_EQ(ApplyRegistryText("[HKEY_LOCAL_MACHINE\\DRIVERS\\BuiltIn\\KLP]\n"
                              "\"prefix\"=\"KLQ\"\n\"Index\"=dword:2\n",
                              "t.reg"),
            0);
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLQ");
  EXPECT_EQ(QueryDword(kServiceKey, u"Index"), 2u);
  EXPECT_EQ(QueryString(kServiceKey, u"Dll"), u"libkelo.so");
}

TEST(RegistryFile, ListsContinueOnTheNextLine) {
  const auto lines = Diagnostics(
      "[HKEY_LOCAL_MACHINE\\C]\n"
      "\"Blob\"=hex:01,02,\\\n"
      "    03,04\n"
      "\"List\"=multi_sz:\"x\",\\\r\n"
      "  \"y\"\n"
      "\"Bad\"=dword:g\n");  // line 6, after two continued values
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("kelo registry: t.reg:6: ", 0), 0u) << lines[0];
  EXPECT_EQ(QueryRaw(u"C", u"Blob")->data, (std::vector<BYTE>{1, 2, 3, 4}));
  EXPECT_EQ(QueryRaw(u"C", u"List")->data, Utf16Bytes(std::u16string(u"x\0y\0\0", 5)));
}

TEST(RegistryFile, AStringEndingInABackslashDoesNotSwallowTheNextLine) {
  int bad = 0;
  const auto lines = Diagnostics(
      "[HKEY_LOCAL_MACHINE\\S]\n"
      "\"Open\"=\"C:\\\n"
      "\"Next\"=dword:5\n",
      &bad);
  EXPECT_EQ(bad, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("t.reg:2:"), std::string::npos) << lines[0];
  EXPECT_EQ(QueryDword(u"S", u"Next"), 5u);
}

TEST(RegistryFile, EachBadLineGivesOneDiagnosticNamingItAndTheRestApplies) {
  int bad = 0;
  const auto lines = Diagnostics(
      "\"Orphan\"=dword:1\n"        // 1: outside a section
      "[HKEY_LOCAL_MACHINE\\K]\n"   // 2
      "\"Big\"=dword:123456789\n"   // 3: over 32 bits
      "\"Bad\"=dword:zz\n"          // 4: not hex
      "\"Open\"=\"unterminated\n"   // 5
      "\"Hex\"=hex:1,zz\n"          // 6
      "\"Type\"=qword:1\n"          // 7: unknown type
      "[HKEY_CURRENT_USER\\X]\n"    // 8: unsupported root
      "\"Lost\"=dword:1\n"          // 9: no section in force
      "[HKEY_LOCAL_MACHINE\\K\n"    // 10: no ']'
      "[HKEY_LOCAL_MACHINE\\K]\n"   // 11
      "\"Good\"=dword:2a\n"         // 12
      "garbage\n"                   // 13
      "\"NoEquals\" dword:1\n"      // 14
      "\"Tail\"=\"x\" y\n"          // 15: text after the value
      "\"Name\n"                    // 16: unterminated name
      "\"List\"=multi_sz:\"a\",\n"  // 17: list ends in a comma
      "\"After\"=dword:7",          // 18: last line, no newline
      &bad);
  const std::vector<int> expected = {1, 3, 4, 5, 6, 7, 8, 9, 10, 13, 14, 15, 16, 17};
  EXPECT_EQ(bad, static_cast<int>(expected.size()));
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string prefix = "kelo registry: t.reg:" + std::to_string(expected[i]) + ": ";
    EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].size() - lines[i].rfind("\r\n"), 2u) << "one line each";
  }
  EXPECT_EQ(lines[2], "kelo registry: t.reg:4: bad dword value \"zz\"\r\n");
  EXPECT_NE(lines[1].find("over 32 bits"), std::string::npos) << lines[1];
  EXPECT_EQ(QueryDword(u"K", u"Good"), 42u);
  EXPECT_EQ(QueryDword(u"K", u"After"), 7u);
  for (const char16_t* name : {u"Big", u"Bad", u"Open", u"Hex", u"Type", u"Tail", u"List"}) {
    EXPECT_FALSE(QueryRaw(u"K", name)) << "a bad line sets nothing";
  }
  EXPECT_FALSE(QueryRaw(u"", u"Orphan"));
}

TEST(RegistryFile, NulInAKeyPathOrValueNameIsABadLine) {
  using namespace std::string_literals;
  int bad = 0;
  const auto lines = Diagnostics(
      "[HKEY_LOCAL_MACHINE\\A]\n"          // 1
      "\"v\"=dword:1\n"                      // 2
      "[HKEY_LOCAL_MACHINE\\A\\\0B]\n"s       // 3: NUL in a key name
      "\"w\"=dword:2\n"                      // 4: no section in force
      "[-HKEY_LOCAL_MACHINE\\A\0]\n"s        // 5: NUL in a deleted key's path
      "[HKEY_LOCAL_MACHINE\\A]\n"           // 6
      "\"x\0y\"=dword:3\n"s                  // 7: NUL in a value name
      "\"z\"=\"a\0b\"\n"s,                   // 8: a string may hold one
      &bad);
  const std::vector<int> expected = {3, 4, 5, 7};
  EXPECT_EQ(bad, static_cast<int>(expected.size()));
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string prefix = "kelo registry: t.reg:" + std::to_string(expected[i]) + ": ";
    EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].find('\0'), std::string::npos) << "no NUL reaches the diagnostic";
  }
  EXPECT_EQ(QueryDword(u"A", u"v"), 1u);  // not deleted
  EXPECT_TRUE(QueryRaw(u"A", u"z"));
  // A has no subkey, so a walk of the tree ends.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_SUCCESS);
  WCHAR name[260];
  DWORD length = 260;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_NO_MORE_ITEMS));
  RegCloseKey(key);
}

TEST(RegistryFile, BinaryNoiseNeverCrashes) {
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919 + 13) & 0xFF);
  noise += "\n[HKEY_LOCAL_MACHINE\\After]\n\"v\"=dword:1\n";
  int bad = 0;
  Diagnostics(noise, &bad);
  EXPECT_GT(bad, 0);
  EXPECT_EQ(QueryDword(u"After", u"v"), 1u);
}

TEST(RegistryFile, DeletesKeysAndValues) {
  kelo::host::SetRegistryDword(u"Old\\Sub", u"v", 1);
  kelo::host::SetRegistryDword(u"Keep", u"v", 1);
  kelo::host::SetRegistryDword(u"Keep", u"w", 1);
  EXPECT_EQ(ApplyRegistryText("[-HKEY_LOCAL_MACHINE\\Old]\n[HKEY_LOCAL_MACHINE\\Keep]\n\"v\"=-\n",
                              "t.reg"),
            0);
  EXPECT_FALSE(QueryRaw(u"Old\\Sub", u"v"));
  EXPECT_FALSE(QueryRaw(u"Keep", u"v"));
  EXPECT_EQ(QueryDword(u"Keep", u"w"), 1u);
}

TEST(RegistryFile, AcceptsEditorHeadersAndByteOrderMarks) {
  EXPECT_EQ(ApplyRegistryText("\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\U]\n\"a\"=\"\xC3\xBC\"\n",
                              "t.reg"),
            0);
  EXPECT_EQ(QueryString(u"U", u"a"), u"\u00FC");
  std::string wide = "\xFF\xFE";
  for (const char c : std::string("[HKEY_LOCAL_MACHINE\\W]\r\n\"b\"=dword:3\r\n")) {
    wide += c;
    wide += '\0';
  }
  EXPECT_EQ(ApplyRegistryText(wide, "wide.reg"), 0);
  EXPECT_EQ(QueryDword(u"W", u"b"), 3u);
}

TEST(RegistryFile, LoadingAFileReplacesEarlierChanges) {
  const std::string path =
      WriteFile("kelo_load_test.reg",
                "[HKEY_LOCAL_MACHINE\\Printers\\Ports]\n\"DefaultPrintPort\"=\"COM2:\"\n");
  kelo::host::SetRegistryDword(u"Scratch", u"v", 1);
  ASSERT_TRUE(kelo::host::LoadRegistryFile(path));
  EXPECT_EQ(QueryString(u"Printers\\Ports", u"DefaultPrintPort"), u"COM2:");
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
  EXPECT_FALSE(QueryRaw(u"Scratch", u"v"));
  std::remove(path.c_str());
  EXPECT_TRUE(kelo::host::LoadRegistryFile(path));  // a missing file is no error
  EXPECT_FALSE(QueryRaw(u"Printers\\Ports", u"DefaultPrintPort"));
}

TEST(RegistryFile, ADirectoryIsReportedAndLeavesTheBuiltInContent) {
  kelo::host::StartDebugCapture();
  EXPECT_FALSE(kelo::host::LoadRegistryFile(::testing::TempDir()));
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("kelo registry: " + ::testing::TempDir() + ": ", 0), 0u) << lines[0];
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
}

TEST(RegistryFile, TheEnvironmentNamesTheFileReadAtFirstUse) {
  // Each case runs in a process of its own: the registry is first used here.
  const std::string path = WriteFile(
      "kelo_env_test.reg",
      "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\KLP]\n\"PrintTimeout\"=dword:3e8\n\"x\"=bad\n");
  ::setenv("KELO_REGISTRY", path.c_str(), 1);
  kelo::host::StartDebugCapture();
  EXPECT_EQ(QueryDword(kServiceKey, u"PrintTimeout"), 1000u);
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("kelo registry: " + path + ":3: ", 0), 0u) << lines[0];
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
  std::remove(path.c_str());
}

TEST(RegistryFile, AMissingEnvironmentFileLeavesTheBuiltInContent) {
  ::setenv("KELO_REGISTRY", (::testing::TempDir() + "kelo_no_such_file.reg").c_str(), 1);
  kelo::host::StartDebugCapture();
  EXPECT_EQ(QueryString(kServiceKey, u"Prefix"), u"KLP");
  EXPECT_EQ(QueryDword(kServiceKey, u"Index"), 1u);
  EXPECT_TRUE(kelo::host::TakeDebugLines().empty());
}
