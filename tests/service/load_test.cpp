// Many clients through the device service at once (CTest label "stress"):
// client threads open one of three emulated printers, write one tagged
// record, check the status and close, over and over, while the status
// monitor follows the opens, reads the ports and queues what the printers
// announce. Every record must reach its port whole, in its client's order,
// and every reference must be given back.

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator_ports.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;
using kelo::emulator::EmulatedPrinter;
using kelo::emulator::EmulatedPrinterFor;
using kelo::emulator::StreamDecoder;

constexpr int kClients = 8;
// Every KLP_OPEN sleeps 300 ms (the monitor's keep-alive and attach waits)
// and a close that leaves one holder sleeps 150 ms holding the service's
// lock: the clients run with the platform's virtual Sleep, which moves the
// tick count instead of waiting, and the printers answer reads at once.
// KELO_LOAD_OPERATIONS sets another count by hand.
int OperationsPerClient() {
  static const int count = [] {
    const char* text = std::getenv("KELO_LOAD_OPERATIONS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 10000;
  }();
  return count;
}
constexpr int kPorts = 3;
const char16_t* const kPortNames[kPorts] = {u"LPT1:", u"LPT2:", u"COM1:"};

// One record: ESC m 0, then ESC g with the payload as one raster row, so the
// printer's decoder accepts it and keeps it as a dot row.
constexpr BYTE kHeader[] = {0x1B, 0x6D, 0x00, 0x1B, 0x67};
constexpr size_t kPayload = 24;  // client, port, sequence (4 bytes LE), pattern
constexpr size_t kRecordBytes = sizeof kHeader + 1 + kPayload;
constexpr DWORD kBytesPerWrite = 7;
constexpr size_t kCallsPerRecord = (kRecordBytes + kBytesPerWrite - 1) / kBytesPerWrite;

BYTE PatternByte(int client, uint32_t sequence, size_t i) {
  return static_cast<BYTE>(client * 31 + sequence * 7 + i * 13);
}

std::vector<BYTE> MakeRecord(int client, int port, uint32_t sequence) {
  std::vector<BYTE> record(kHeader, kHeader + sizeof kHeader);
  record.push_back(static_cast<BYTE>(kPayload));
  record.push_back(static_cast<BYTE>(client));
  record.push_back(static_cast<BYTE>(port));
  for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<BYTE>(sequence >> shift));
  for (size_t i = 6; i < kPayload; ++i) record.push_back(PatternByte(client, sequence, i));
  return record;
}

// The sequences of each client's records as they arrived at `port`; false
// with a message at the first byte that is not part of a whole record.
bool DecodeRecords(const std::vector<BYTE>& bytes, int port,
                   std::vector<std::vector<uint32_t>>* byClient, std::string* message) {
  byClient->assign(kClients, {});
  for (size_t at = 0; at < bytes.size(); at += kRecordBytes) {
    const auto bad = [&](const char* what) {
      *message = "at byte " + std::to_string(at) + ": " + what;
      return false;
    };
    if (bytes.size() - at < kRecordBytes) return bad("a partial record");
    const BYTE* r = bytes.data() + at;
    if (!std::equal(kHeader, kHeader + sizeof kHeader, r) || r[sizeof kHeader] != kPayload) {
      return bad("no record header");
    }
    const BYTE* payload = r + sizeof kHeader + 1;
    const int client = payload[0];
    if (client >= kClients || payload[1] != port) return bad("a tag of another client or port");
    uint32_t sequence = 0;
    for (int i = 3; i >= 0; --i) sequence = sequence << 8 | payload[2 + i];
    for (size_t i = 6; i < kPayload; ++i) {
      if (payload[i] != PatternByte(client, sequence, i)) return bad("record bytes changed");
    }
    (*byClient)[client].push_back(sequence);
  }
  return true;
}

BYTE MonitoredPortNow() {
  ServiceLock guard;
  return ServiceState.monitoredPort;
}

class ServiceLoad : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    kelo::emulator::InstallEmulatorPorts();
    // Ready printers that report their status to whoever opens them, so the
    // monitor has bytes to queue while the clients check the history.
    // Each takes at most kBytesPerWrite bytes a call, so a record is five
    // platform writes that another client's could fall between if the
    // service let them.
    for (const char16_t* name : kPortNames) {
      kelo::host::SetRegistryString(u"Host\\Ports", name, u"emulator:planes=1,announce");
      const HANDLE made = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(made, INVALID_HANDLE_VALUE);
      CloseHandle(made);
      EmulatedPrinterFor(name)->SetWriteChunks(std::vector<DWORD>(
          kClients * OperationsPerClient() * kCallsPerRecord, kBytesPerWrite));
      EmulatedPrinterFor(name)->SetInstantReads(true);
    }
    Load();
  }
};

TEST_F(ServiceLoad, ClientsOpenWriteCheckAndCloseWhileTheMonitorRuns) {
  std::atomic<int> failures{0};
  std::mutex firstFailureMutex;
  std::string firstFailure;
  // written[client][port]: the sequences whose write succeeded, in order.
  std::vector<std::vector<std::vector<uint32_t>>> written(
      kClients, std::vector<std::vector<uint32_t>>(kPorts));

  // The opens wait fixed times, which would spread the clients' writes
  // apart; they start each round's writes together instead.
  std::barrier writeTogether(kClients);
  std::vector<std::thread> clients;
  kelo::host::SetVirtualSleep(true);
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      const auto fail = [&](const std::string& what, uint32_t sequence) {
        if (failures++ == 0) {
          std::lock_guard lock(firstFailureMutex);
          firstFailure = "client " + std::to_string(c) + " operation " +
                         std::to_string(sequence) + ": " + what + " failed, error " +
                         std::to_string(GetLastError());
        }
      };
      std::mt19937 random(static_cast<unsigned>(c + 1));
      for (uint32_t op = 0; op < static_cast<uint32_t>(OperationsPerClient()); ++op) {
        const int port = static_cast<int>(random() % kPorts);
        const BYTE index = Open(kPortNames[port], KLP_OPEN);
        writeTogether.arrive_and_wait();
        if (index == 0) {
          fail("KLP_OPEN", op);
          continue;
        }
        if (Write(index, MakeRecord(c, port, op))) {
          written[c][port].push_back(op);
        } else {
          fail("KLP_WRITE", op);
        }
        if (!Control(KLP_CHECK_STATUS + index, nullptr)) fail("KLP_CHECK_STATUS", op);
        if (!Close(index)) fail("KLP_CLOSE", op);
      }
    });
  }
  for (std::thread& t : clients) t.join();
  kelo::host::SetVirtualSleep(false);  // the waits below are real
  EXPECT_EQ(failures.load(), 0) << firstFailure;

  // Only the monitor may still hold a port, once (it may still be switching
  // ports as its last messages arrive).
  EXPECT_TRUE(WaitUntil(
      [] {
        ServiceLock guard;
        for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
          if (record.refCount != 1 || index != ServiceState.monitoredPort) return false;
        }
        return true;
      },
      2000))
      << OpenPortCount() << " ports open";
  // The last close armed the monitor's 30 s stop. The clock is moved past it
  // until the monitor ends on its own (it may still be working through its
  // last messages); as it ends it gives back its port, the last reference.
  // (WaitUntil reads the tick count, so it cannot bound this wait.)
  bool stoppedByItself = false;
  for (int step = 0; step < 100 && !stoppedByItself; ++step) {
    kelo::host::SetTickCount(GetTickCount() + 31000);
    Sleep(50);
    stoppedByItself = ServiceState.monitorThread.load() == nullptr;
  }
  EXPECT_TRUE(stoppedByItself) << "the monitor did not stop after the last client let go; it "
                                  "watches index "
                               << int{MonitoredPortNow()} << ", " << OpenPortCount()
                               << " ports still open";
  const DWORD monitor = ServiceState.monitorThreadId.load();
  if (!stoppedByItself && monitor != 0) {
    ASSERT_TRUE(PostThreadMessageW(monitor, service::MonitorStop, 0, 0));
    ASSERT_TRUE(WaitUntil([] { return ServiceState.monitorThread.load() == nullptr; }, 5000));
  }
  EXPECT_EQ(OpenPortCount(), 0u);

  size_t records = 0;
  for (int port = 0; port < kPorts; ++port) {
    SCOPED_TRACE(kelo::host::ToUtf8(kPortNames[port]));
    const std::shared_ptr<EmulatedPrinter> printer = EmulatedPrinterFor(kPortNames[port]);
    ASSERT_NE(printer, nullptr);
    EXPECT_EQ(printer->OpenCount(), 0);
    std::vector<std::vector<uint32_t>> arrived;
    std::string message;
    ASSERT_TRUE(DecodeRecords(printer->ReceivedBytes(), port, &arrived, &message)) << message;
    size_t onPort = 0;
    for (int c = 0; c < kClients; ++c) {
      EXPECT_EQ(arrived[c], written[c][port]) << "client " << c;
      onPort += arrived[c].size();
    }
    EXPECT_EQ(static_cast<size_t>(printer->WriteCalls()), onPort * kCallsPerRecord);
    printer->Inspect([&](const StreamDecoder& d) {
      EXPECT_FALSE(d.error().has_value()) << d.error()->message;
      EXPECT_EQ(d.PlaneRows(0).size(), onPort);
    });
    records += onPort;
  }
  EXPECT_EQ(records, static_cast<size_t>(kClients * OperationsPerClient()));
}

}  // namespace
