#include "emulator/file_io.h"

#include <algorithm>

#include "platform/host/host_api.h"

namespace kelo::emulator {

namespace {

// Platform calls take DWORD counts; larger files go in pieces of this size.
constexpr DWORD kPieceBytes = 1u << 20;
// Win32 codes host files report that platform/win_types.h does not name.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorDiskFull = 112;

HANDLE OpenFile(const std::string& path, DWORD access, DWORD creation) {
  const std::u16string name = kelo::host::FromUtf8(path);
  return CreateFileW(name.c_str(), access, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// CloseHandle after a failure must not replace the failure's error.
void CloseKeepingError(HANDLE file) {
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  const HANDLE file = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> piece(kPieceBytes);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, piece.data(), kPieceBytes, &got, nullptr)) {
      CloseKeepingError(file);
      return false;
    }
    if (got == 0) break;
    bytes->insert(bytes->end(), piece.begin(), piece.begin() + got);
  }
  CloseHandle(file);
  return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  const HANDLE file = OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kPieceBytes));
    DWORD put = 0;
    if (!WriteFile(file, bytes.data() + done, want, &put, nullptr) || put == 0) {
      if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_WRITE_FAULT);
      CloseKeepingError(file);
      return false;
    }
    done += put;
  }
  return CloseHandle(file) != FALSE;
}

std::string ErrorText(DWORD error) {
  const char* name = nullptr;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: name = "file not found"; break;
    case kErrorPathNotFound: name = "path not found"; break;
    case ERROR_ACCESS_DENIED: name = "access denied"; break;
    case ERROR_SHARING_VIOLATION: name = "in use"; break;
    case ERROR_INVALID_PARAMETER: name = "invalid parameter"; break;
    case kErrorDiskFull: name = "disk full"; break;
    case ERROR_WRITE_FAULT: name = "write fault"; break;
    case ERROR_READ_FAULT: name = "read fault"; break;
    default: name = "error"; break;
  }
  return std::string(name) + " (" + std::to_string(error) + ")";
}

}  // namespace kelo::emulator
