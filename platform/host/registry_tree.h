// The registry's in-memory tree. Names compare ignoring ASCII case; each
// keeps the spelling it was created with. Not synchronised: registry.cpp
// holds its lock around every use.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace kelo::host {

struct RegValue {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct RegKey {
  std::u16string name;
  std::map<std::u16string, RegValue> values;                  // by lower-case name
  std::map<std::u16string, std::shared_ptr<RegKey>> subkeys;  // by lower-case name
  bool deleted = false;  // set on the key and its subkeys when removed: open handles fail
};

// Key paths are backslash-separated below `base`; empty parts are skipped, so
// an empty path names `base` itself.
std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& base, std::u16string_view path);
std::shared_ptr<RegKey> CreateKey(const std::shared_ptr<RegKey>& base, std::u16string_view path,
                                  bool* created = nullptr);
// Removes the key with its subkeys; false when it does not exist or the path
// names `base` itself.
bool DeleteKey(RegKey& base, std::u16string_view path);
void MarkDeleted(RegKey& key);

void SetValue(RegKey& key, std::u16string_view valueName, DWORD type, std::vector<BYTE> data);
void SetDword(RegKey& key, std::u16string_view valueName, DWORD number);
// REG_SZ: UTF-16 with its terminator.
void SetString(RegKey& key, std::u16string_view valueName, std::u16string_view text);
bool DeleteValue(RegKey& key, std::u16string_view valueName);

// Registry-editor text applied to a tree; returns the number of bad lines,
// each reported once through the debug output.
int ApplyRegistryTextTo(const std::shared_ptr<RegKey>& root, std::string_view text,
                        std::string_view sourceName);
// False when the file exists but cannot be read; a missing file is no error.
bool LoadRegistryFileInto(const std::shared_ptr<RegKey>& root, const std::string& path);

}  // namespace kelo::host
