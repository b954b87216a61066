// Generated control calls and the PortRequest's name pointer: a generated
// input cannot hold a real pointer into the caller's memory, so before such
// a request reaches the service its pointer is aimed at a name buffer of 256
// bytes, which every name size (one byte) stays inside.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "kelo/service_control.h"
#include "platform/win_types.h"

namespace kelo::test {

inline constexpr size_t kPortRequestNameBuffer = 256;

// A name buffer holding `name` with its terminator, zero-filled after it.
inline std::vector<BYTE> PortRequestNameBuffer(const std::u16string& name) {
  std::vector<BYTE> buffer(kPortRequestNameBuffer, 0);
  std::memcpy(buffer.data(), name.c_str(),
              std::min(buffer.size(), (name.size() + 1) * sizeof(char16_t)));
  return buffer;
}

// Aims the name pointer of a request in `content` at `names` when `code` is
// a command that reads one.
inline void AimPortRequestAt(std::vector<BYTE>& content, DWORD code, const BYTE* names) {
  const DWORD verb = code & 0x00FFFF00u;
  if (verb != KLP_RESET_PRINTER && verb != KLP_UPDATE_PRINTERSTATUS) return;
  if (content.size() < sizeof(PortRequest)) return;
  std::memcpy(content.data() + offsetof(PortRequest, name), &names, sizeof names);
}

}  // namespace kelo::test
