// Whole-file reads and writes through the platform's files, for captures and
// previews; paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelo::emulator {

// False with the last error set when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);
// Creates or truncates `path`; false with the last error set.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// "file not found (2)", for messages.
std::string ErrorText(DWORD error);

}  // namespace kelo::emulator
