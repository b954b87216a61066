// Random control calls against the loaded service: random codes, and input and
// output buffers that are missing, short, odd or unterminated, each an
// exactly-sized heap block so that the address sanitizer sees any access past
// it. Afterwards the table must still describe the ports actually open, and
// closing every reference it holds must leave no port handle behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/service/service_fixture.h"
#include "tests/support/port_request_input.h"

namespace kelo::test {

// Sets settings that keep the resets fast; call before the service is loaded.
inline void PrepareFuzzSettings() {
  kelo::host::SetRegistryDword(kServiceKey, u"ResetTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetWaitTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSRetryWait", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSMaxRetries", 2);
}

inline void ExpectTableMatchesPorts(const std::vector<std::shared_ptr<PortDouble>>& ports) {
  ServiceLock guard;
  std::set<HANDLE> handles;
  for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
    EXPECT_NE(index, 0);
    EXPECT_GE(record.refCount, 1);
    EXPECT_NE(record.handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(record.kind == 8 || record.kind == 9) << int{record.kind};
    handles.insert(record.handle);
  }
  EXPECT_EQ(handles.size(), ServiceState.g_mapOpenPorts.size());
  size_t open = 0;
  for (const auto& port : ports) open += static_cast<size_t>(port->OpenCount());
  EXPECT_EQ(open, ServiceState.g_mapOpenPorts.size());
}

// Gives back every reference the table holds; no port may stay open.
inline void CloseEverything(const std::vector<std::shared_ptr<PortDouble>>& ports) {
  // The status commands start the monitor, which gives back its reference
  // whenever it stops: stop it first, so that the counts below hold still.
  if (ServiceState.monitorThread.load() != nullptr) {
    PostThreadMessageW(ServiceState.monitorThreadId.load(), service::MonitorStop, 0, 0);
    EXPECT_TRUE(WaitUntil([] { return ServiceState.monitorThread.load() == nullptr; }, 5000));
  }
  std::vector<std::pair<BYTE, int>> holders;
  {
    ServiceLock guard;
    for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
      holders.emplace_back(index, record.refCount);
    }
  }
  for (const auto& [index, count] : holders) {
    for (int i = 0; i < count; ++i) EXPECT_TRUE(ServiceTest::Close(index));
  }
  EXPECT_EQ(ServiceTest::OpenPortCount(), 0u);
  for (const auto& port : ports) EXPECT_EQ(port->OpenCount(), 0);
}

// The service must be loaded with PrepareFuzzSettings; `ports` are the
// doubles behind "COM1:", "COM2:" and "LPT1:". KLP_OPEN is sent as
// KLP_OPEN_QUIET; the status commands still start the monitor.
inline void RunControlFuzz(uint32_t seed, int iterations,
                           const std::vector<std::shared_ptr<PortDouble>>& ports) {
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  // Names that open or match something, and some that do not.
  const std::u16string names[] = {u"COM1:", u"COM2:9600", u"LPT1:", u"COM1:9600", u"",
                                  u"COM9:", u"LPT1",      u"C"};
  const DWORD commands[] = {0x100, 0x200, 0x300, 0x400, 0x500,  0x600,  0x700, 0x800, 0x900,
                            0xA00, 0xB00, 0xC00, 0xD00, 0xE00, 0x1000, 0x1100, 0x1200, 0};
  const std::vector<BYTE> statusBytes(4096, 0x80);
  for (const auto& port : ports) port->QueueRead(statusBytes);  // reads return at once
  // The status commands start the monitor and reset pulses last 1.5 s:
  // fixed pauses move the tick count instead of waiting.
  kelo::host::SetVirtualSleep(true);

  for (int i = 0; i < iterations; ++i) {
    DWORD code = 0;
    if (pick(8) == 0) {
      code = static_cast<DWORD>(rng());
    } else {
      const DWORD index = pick(4) == 0 ? pick(256) : pick(5);
      code = commands[pick(static_cast<uint32_t>(std::size(commands)))] + index;
    }
    if ((code & service::kCommandMask) == KLP_OPEN) {
      code = (code & ~service::kCommandMask) | KLP_OPEN_QUIET;
    }

    std::vector<BYTE> content;
    switch (pick(3)) {
      case 0:
        content = NameBytes(names[pick(static_cast<uint32_t>(std::size(names)))]);
        break;
      case 1: {  // a name cut anywhere: odd, unterminated or empty
        content = NameBytes(names[pick(static_cast<uint32_t>(std::size(names)))]);
        content.resize(pick(static_cast<uint32_t>(content.size()) + 1));
        break;
      }
      default:
        content.resize(pick(32));  // up to a whole PortRequest and more
        for (BYTE& b : content) b = static_cast<BYTE>(pick(3) == 0 ? 0 : rng());
        break;
    }
    const std::vector<BYTE> nameBuffer =
        PortRequestNameBuffer(names[pick(static_cast<uint32_t>(std::size(names)))]);
    AimPortRequestAt(content, code, nameBuffer.data());
    const bool noInput = pick(6) == 0;
    const bool noOutput = pick(6) == 0;
    const size_t outLen = pick(12);
    // Exact-size heap blocks (a zero-size one is still a distinct block).
    std::unique_ptr<BYTE[]> in(noInput ? nullptr : new BYTE[content.size()]);
    if (in) std::copy(content.begin(), content.end(), in.get());
    std::unique_ptr<BYTE[]> out(noOutput ? nullptr : new BYTE[outLen]);
    DWORD actual = 0;
    const DWORD inLen = noInput ? pick(24) : static_cast<DWORD>(content.size());
    const DWORD outSize = noOutput ? pick(12) : static_cast<DWORD>(outLen);
    KLP_IOControl(1, code, in.get(), inLen, out.get(), outSize, pick(2) ? &actual : nullptr);
    if (i % 512 == 511) {
      ExpectTableMatchesPorts(ports);
      for (const auto& port : ports) port->QueueRead(statusBytes);
    }
  }
  kelo::host::SetVirtualSleep(false);
  ExpectTableMatchesPorts(ports);
}

}  // namespace kelo::test
