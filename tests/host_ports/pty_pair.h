// A pseudo-terminal pair for serial-line tests: the port under test opens
// the terminal side through a mapped name, the test plays the printer on
// the controlling side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/host/host_ports.h"

namespace kelo::test {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    path_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Maps `name` onto the terminal side and opens it like the library does.
  HANDLE OpenPort(const char16_t* name = u"COM1:", DWORD share = 0) const {
    kelo::host::InstallHostPortMapper();
    kelo::host::SetRegistryString(u"Host\\Ports", name, kelo::host::FromUtf8(path_));
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  bool Send(const std::vector<BYTE>& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // What the port sent, until `count` bytes arrived or `waitMs` passed.
  std::vector<BYTE> Receive(size_t count, int waitMs = 2000) const {
    std::vector<BYTE> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      BYTE chunk[4096];
      const size_t want = std::min(sizeof chunk, count - got.size());
      const ssize_t n = ::read(master_, chunk, want);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
};

}  // namespace kelo::test
