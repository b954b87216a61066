// Small helpers of the emulator tests: a scratch directory, hex byte
// strings, port handles through the platform, PNG files read back with an
// independent decoder (libpng's reader).
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/platform.h"

namespace kelo::test {

using Bytes = std::vector<BYTE>;

inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (unsigned value; in >> std::hex >> value;) out.push_back(static_cast<BYTE>(value));
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A directory of its own for one test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "kelo-emu-";
    if (info != nullptr) name += std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    name += "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline HANDLE OpenPort(const char16_t* name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline BOOL SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant,
                        DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
  COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
  return SetCommTimeouts(port, &t);
}

inline BOOL WriteBytes(HANDLE port, const Bytes& bytes, DWORD* written) {
  return WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), written, nullptr);
}

// A PNG as its own reader sees it, widened to 8-bit grey or RGB.
struct DecodedPng {
  bool ok = false;
  std::string message;
  uint32_t width = 0;
  uint32_t height = 0;
  bool colour = false;  // as stored in the file
  std::vector<uint8_t> pixels;
};

inline DecodedPng ReadPng(const Bytes& file) {
  DecodedPng result;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    result.message = image.message;
    return result;
  }
  result.colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
  image.format = result.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  result.width = image.width;
  result.height = image.height;
  result.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, result.pixels.data(), 0, nullptr)) {
    result.message = image.message;
    png_image_free(&image);
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace kelo::test
