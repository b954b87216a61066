// The emulated printer as a device of the platform's namespace: what a real
// printer on a serial line or a parallel-class (USB printer) port does, as
// far as the library can observe it. It decodes every byte it accepts,
// answers the status request ESC k 255 and the RTS status pulse with a
// status byte, answers the device-ID and follow-up requests of a
// parallel-class port, keeps its line settings, and can be told to misbehave
// (short writes, no writes, failed follow-up, unplugged).
//
// One instance stands for one printer: all opens of its port share the
// decoder, the capture and the status answers, as the opens of a real port
// share the printer behind it.
//
// Line model (serial only): the RTS line is active unless fRtsControl is
// RTS_CONTROL_DISABLE. A drop shorter than kResetDropMs followed by a raise
// is a status pulse and is answered like ESC k 255; a longer drop resets
// the printer like ESC @.
//
// Time-outs follow the stored COMMTIMEOUTS with the Windows CE rules (the
// interval timer runs from the start of the read). A read with no time-out
// at all waits for the full count, but wakes with a failure when its handle
// is closed or the printer vanishes. A refused write waits the write
// time-out and completes with 0 bytes; with no write time-out it completes
// at once (the emulator never stalls a writer for good).
//
// Thread-safe: one lock guards everything; blocking reads and refused
// writes wait without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "emulator/stream_decoder.h"
#include "platform/host/host_api.h"

namespace kelo::emulator {

enum class PortType { kSerial, kParallel };

// The print head of 80 mm paper at 8 dots per millimetre.
inline constexpr int kDefaultWidthDots = 640;
// The first model of the device-ID table: an ordinary printer that gets no
// wake-up bytes and the full end-of-document sequence.
inline constexpr const char* kDefaultModel = "USB Printer T4";
// Status bytes carry status when their top bits are 1 0; no condition bit set.
inline constexpr BYTE kReadyStatus = 0x80;
// RTS drops up to this long are status pulses (the monitor's is 20 ms),
// longer ones are resets (the shortest reset holds the line 220 ms).
inline constexpr DWORD kResetDropMs = 100;

struct PrinterConfig {
  PortType type = PortType::kParallel;
  // Dots per row of the head. The decoder takes rows of up to
  // (widthDots + 7) / 8 bytes; shorter mode-0 rows are left-aligned.
  int widthDots = kDefaultWidthDots;
  int planes = 1;  // 1 (grey) or 4 (K, C, M, Y per raster line)
  // The DESCRIPTION (and MDL) text of the device ID.
  std::string model = kDefaultModel;
  BYTE status = kReadyStatus;  // answered to ESC k 255 and the RTS pulse
  DWORD replyDelayMs = 0;      // from the request to the status byte
  bool silent = false;         // no status answers at all
  // The status byte is also sent unasked whenever a handle is opened, as a
  // printer with a condition reports it to whoever connects.
  bool announce = false;

  int rowBytes() const { return (widthDots + 7) / 8; }
};

struct ReceivedWrite {
  std::vector<BYTE> bytes;  // the bytes accepted by one write call
  DWORD tick = 0;           // GetTickCount when they arrived
};

struct RtsChange {
  DWORD rtsControl = 0;  // fRtsControl of the block written
  DWORD tick = 0;
};

class EmulatedPrinter : public kelo::host::Device {
 public:
  explicit EmulatedPrinter(PrinterConfig config = {});
  ~EmulatedPrinter() override;
  EmulatedPrinter(const EmulatedPrinter&) = delete;
  EmulatedPrinter& operator=(const EmulatedPrinter&) = delete;

  const PrinterConfig& config() const { return config_; }

  // ---- behaviour ----
  void SetStatus(BYTE status);
  void SetReplyDelay(DWORD ms);
  void SetSilent(bool silent);
  // Reads return at once with what has arrived, whatever the time-outs say:
  // runs that replay many calls pay nothing for a quiet line.
  void SetInstantReads(bool instant);
  // A status byte sent on the printer's own initiative, readable at once.
  void SendStatus(BYTE status);
  // The device-ID text without its length prefix; replaces the one built
  // from the model.
  void SetDeviceIdText(std::string text);
  std::string DeviceIdText() const;

  // ---- faults ----
  // Each write accepts at most the next chunk (0: nothing, as a refused
  // write); once the list is used up, writes are accepted whole.
  void SetWriteChunks(std::vector<DWORD> chunks);
  void SetAcceptNothing(bool nothing);
  void SetFollowUpFails(bool fails);
  // Unplugged: every call on an open handle fails with 1118 (serial) or
  // 1226 (parallel-class), new opens fail with ERROR_FILE_NOT_FOUND.
  void SetVanished(bool vanished);
  // Counting variant: the printer vanishes as the n-th write call with bytes
  // from now on returns (that call completes as usual). n <= 0 cancels.
  void SetVanishAfterWrites(int n);
  DWORD LostError() const;

  // ---- files ----
  // Truncates `path` and appends every accepted byte from now on. False
  // with the last error set when the file cannot be created.
  bool SetCaptureFile(const std::string& path);
  // Written (replaced) whenever the last open handle is closed.
  void SetPreviewFile(const std::string& path);
  // Writes the preview of everything printed so far; false with a reason
  // (no rows, or the file cannot be written).
  bool WritePreview(const std::string& path, std::string* error) const;

  // ---- observation ----
  std::vector<ReceivedWrite> Writes() const;
  std::vector<BYTE> ReceivedBytes() const;
  int WriteCalls() const;  // write calls with bytes, accepted or not
  std::vector<RtsChange> RtsChanges() const;
  std::vector<DWORD> Purges() const;
  int OpenCount() const;  // handles open now
  int TotalOpens() const;
  int StatusAnswers() const;  // status bytes queued, requested or not
  DCB Dcb() const;
  COMMTIMEOUTS Timeouts() const;
  // Runs `look` on the decoder under the printer's lock.
  void Inspect(const std::function<void(const StreamDecoder&)>& look) const;

  // ---- Device ----
  uintptr_t Open(DWORD access, DWORD share) override;
  BOOL Close(uintptr_t open) override;
  BOOL Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read) override;
  BOOL Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written) override;
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override;
  BOOL GetCommState(uintptr_t open, DCB* dcb) override;
  BOOL SetCommState(uintptr_t open, const DCB* dcb) override;
  BOOL GetCommTimeouts(uintptr_t open, COMMTIMEOUTS* timeouts) override;
  BOOL SetCommTimeouts(uintptr_t open, const COMMTIMEOUTS* timeouts) override;
  BOOL PurgeComm(uintptr_t open, DWORD flags) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Answer {
    BYTE byte;
    Clock::time_point ready;
  };

  // Sets `field` under the lock and wakes the waiters, who look again at
  // what may concern them (a refused write, a blocked read).
  template <typename T>
  void Store(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
    changed_.notify_all();
  }
  // A copy of `field`, taken under the lock.
  template <typename T>
  T Locked(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }

  // The private helpers below expect mutex_ held.
  bool Usable(uintptr_t open, DWORD access);  // false with the last error set
  bool OpenIsLive(uintptr_t open) const { return opens_.count(open) > 0; }
  void Accept(const BYTE* bytes, DWORD count);
  void QueueAnswer(Clock::time_point ready);
  void ReactToLine(DWORD oldRts, DWORD newRts);
  bool SerialOnly();
  // Counts a write call with bytes; true when it is the one to vanish after.
  bool CountWriteCall();

  const PrinterConfig config_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // answers queued, opens closed, faults changed
  mutable std::mutex previewMutex_;  // serialises preview files

  StreamDecoder decoder_;
  size_t controlsSeen_ = 0;  // decoder control commands already acted on
  BYTE status_;
  DWORD replyDelayMs_;
  bool silent_;
  bool instantReads_ = false;
  std::string deviceId_;
  std::deque<Answer> answers_;  // in ready order
  int statusAnswers_ = 0;

  std::deque<DWORD> chunks_;
  bool acceptNothing_ = false;
  bool followUpFails_ = false;
  bool vanished_ = false;
  int writesBeforeVanishing_ = 0;  // 0: no vanishing by count

  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  Clock::time_point droppedAt_{};

  std::map<uintptr_t, DWORD> opens_;  // open context -> access
  uintptr_t nextOpen_ = 1;
  int totalOpens_ = 0;

  std::vector<ReceivedWrite> writes_;
  int writeCalls_ = 0;
  std::vector<RtsChange> rts_;
  std::vector<DWORD> purges_;

  HANDLE capture_ = INVALID_HANDLE_VALUE;
  std::string capturePath_;
  std::string previewPath_;
};

}  // namespace kelo::emulator
