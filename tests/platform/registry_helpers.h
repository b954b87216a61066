// Reading registry values back in the registry tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace kelo::test {

struct RawValue {
  DWORD type = 0;
  std::vector<BYTE> data;
};

inline std::optional<RawValue> QueryRaw(const char16_t* path, const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  RawValue value;
  DWORD size = 0;
  LONG result = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (result == ERROR_SUCCESS) {
    value.data.assign(size, 0xEE);
    result = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return std::nullopt;
  return value;
}

// The text of a REG_SZ value; nullopt when missing or of another type.
inline std::optional<std::u16string> QueryString(const char16_t* path, const char16_t* name) {
  const auto raw = QueryRaw(path, name);
  if (!raw || raw->type != REG_SZ || raw->data.size() % 2 != 0 || raw->data.size() < 2) {
    return std::nullopt;
  }
  std::u16string text(raw->data.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(raw->data[2 * i] | (raw->data[2 * i + 1] << 8));
  }
  if (text.back() != u'\0') return std::nullopt;  // REG_SZ data carries its terminator
  text.pop_back();
  return text;
}

inline std::optional<DWORD> QueryDword(const char16_t* path, const char16_t* name) {
  const auto raw = QueryRaw(path, name);
  if (!raw || raw->type != REG_DWORD || raw->data.size() != 4) return std::nullopt;
  return static_cast<DWORD>(raw->data[0] | (raw->data[1] << 8) | (raw->data[2] << 16) |
                            (static_cast<DWORD>(raw->data[3]) << 24));
}

inline constexpr const char16_t* kServiceKey = u"Drivers\\BuiltIn\\KLP";

}  // namespace kelo::test
