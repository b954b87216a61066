// The registry's in-memory tree. Names compare ignoring ASCII case; each
// keeps the spelling it was created with.
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
  std::map<std::u16string, RegValue> values;  // by lower-case name
  std::map<std::u16string, std::shared_ptr<RegKey>> subkeys;  // by lower-case name
  bool deleted = false;  // open handles to a deleted key fail

  RegKey* Find(std::u16string_view path);
  std::shared_ptr<RegKey> FindShared(std::u16string_view path);
  RegKey* Create(std::u16string_view path);
  bool Delete(std::u16string_view path);  // with its subkeys
  void MarkDeleted();
  void SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data);
  void SetDword(std::u16string_view valueName, DWORD number);
  void SetString(std::u16string_view valueName, std::u16string_view text);
};

// Registry-editor text applied to a tree; returns the number of bad lines,
// each reported once through the debug output.
int ApplyRegistryTextTo(RegKey& root, std::string_view text, std::string_view sourceName);
// False when the file exists but cannot be read; a missing file is no error.
bool LoadRegistryFileInto(RegKey& root, const std::string& path);

}  // namespace kelo::host
