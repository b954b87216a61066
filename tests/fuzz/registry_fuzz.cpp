// The registry-editor text parser and the in-memory registry behind the Reg*
// calls. The input is applied as registry text on top of the built-in tree.
// Checked: each bad line is reported exactly once; the tree reads back
// through RegEnumKeyExW and RegQueryValueExW into exactly sized heap buffers
// (a short one gets ERROR_MORE_DATA and the size); applying the same text a
// second time changes nothing (every line assigns, so the last one touching
// a key or value decides) and reports the same lines.

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr int kMaxDepth = 12;
constexpr size_t kMaxNames = 32;

void Check(bool condition, const char* what) {
  kelo::fuzz::CheckOrAbort(condition, "registry fuzz", what);
}

// Value names to ask every key about: "@" (the default value) and the quoted
// names at the start of lines, escapes left in (a miss is fine).
std::vector<std::u16string> CandidateNames(std::string_view text) {
  std::vector<std::u16string> names{u""};
  size_t at = 0;
  while (at < text.size() && names.size() < kMaxNames) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    const size_t open = line.find('"');
    const size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
    if (close != std::string_view::npos) {
      names.push_back(kelo::host::FromUtf8(line.substr(open + 1, close - open - 1)));
    }
    at = end + 1;
  }
  names.push_back(u"Prefix");
  names.push_back(u"Dll");
  return names;
}

void DumpValue(HKEY key, const std::u16string& name, std::string& out) {
  DWORD type = 0;
  DWORD size = 0;
  const LONG sized = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (sized == ERROR_FILE_NOT_FOUND) return;
  Check(sized == ERROR_SUCCESS, "size query failed");
  if (size > 0) {
    auto shortBuffer = std::make_unique<BYTE[]>(size - 1);
    DWORD shortSize = size - 1;
    Check(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, shortBuffer.get(), &shortSize) ==
              ERROR_MORE_DATA,
          "short buffer not refused");
    Check(shortSize == size, "short buffer got another size");
  }
  auto data = std::make_unique<BYTE[]>(size);
  DWORD got = size;
  DWORD type2 = 0;
  Check(RegQueryValueExW(key, name.c_str(), nullptr, &type2, data.get(), &got) == ERROR_SUCCESS,
        "exact buffer refused");
  Check(got == size && type2 == type, "value read back differently");
  out += kelo::host::ToUtf8(name) + "=" + std::to_string(type) + ":";
  out.append(reinterpret_cast<const char*>(data.get()), size);
  out += '\n';
}

void DumpKey(HKEY key, int depth, const std::vector<std::u16string>& names, std::string& out) {
  for (const auto& name : names) DumpValue(key, name, out);
  if (depth == kMaxDepth) return;
  for (DWORD index = 0;; ++index) {
    DWORD length = 1;  // room for the terminator only: learn the length first
    auto probe = std::make_unique<WCHAR[]>(1);
    const LONG first = RegEnumKeyExW(key, index, probe.get(), &length, nullptr, nullptr,
                                     nullptr, nullptr);
    if (first == ERROR_NO_MORE_ITEMS) break;
    std::u16string subName;
    if (first == ERROR_MORE_DATA) {
      const DWORD room = length;
      auto buffer = std::make_unique<WCHAR[]>(room);
      Check(RegEnumKeyExW(key, index, buffer.get(), &length, nullptr, nullptr, nullptr,
                          nullptr) == ERROR_SUCCESS,
            "subkey name refused with the size asked for");
      Check(length + 1 == room && buffer[length] == 0, "subkey name length");
      subName.assign(buffer.get(), length);
    } else {
      Check(first == ERROR_SUCCESS && length == 0, "empty subkey name");
    }
    // Appended piece by piece: GCC 12 at -O3 reports a false overlap
    // (-Wrestrict) for "[" + a temporary string.
    out += '[';
    out += std::to_string(depth);
    out += ']';
    out += kelo::host::ToUtf8(subName);
    out += '\n';
    if (subName.find(u'\0') != std::u16string::npos) continue;  // cannot be named in a call
    HKEY sub = nullptr;
    Check(RegOpenKeyExW(key, subName.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS,
          "enumerated subkey does not open");
    DumpKey(sub, depth + 1, names, out);
    Check(RegCloseKey(sub) == ERROR_SUCCESS, "close");
  }
}

std::string Dump(const std::vector<std::u16string>& names) {
  std::string out;
  DumpKey(HKEY_LOCAL_MACHINE, 0, names, out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelo::host::StartDebugCapture();  // the bad-line reports are counted, not shown
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelo::host::ResetRegistry();
  kelo::host::TakeDebugLines();
  const int bad = kelo::host::ApplyRegistryText(text, "fuzz.reg");
  Check(bad >= 0, "negative count");
  Check(kelo::host::TakeDebugLines().size() == static_cast<size_t>(bad),
        "bad lines and reports differ");
  const auto names = CandidateNames(text);
  const std::string once = Dump(names);
  Check(kelo::host::ApplyRegistryText(text, "fuzz.reg") == bad, "second pass counts differently");
  kelo::host::TakeDebugLines();
  Check(Dump(names) == once, "second pass changed the tree");
  return 0;
}
