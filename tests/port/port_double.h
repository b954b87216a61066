// A printer port stand-in for the port and service tests: a serial line or a
// parallel-class port, registered in the platform's device namespace under a
// name such as "COM1:" or "LPT1:". It records what the code under test does
// to it (writes, RTS changes, purges, control requests, all stamped with
// GetTickCount) and answers as configured.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_api.h"

namespace kelo::test {

struct PortWrite {
  std::vector<BYTE> bytes;  // the bytes the port accepted
  DWORD tick = 0;
};

struct RtsChange {
  DWORD rtsControl = 0;  // fRtsControl of the block written
  DWORD tick = 0;
};

class PortDouble : public kelo::host::Device {
 public:
  enum class Type { kSerial, kParallel };
  explicit PortDouble(Type type);

  // ---- configuration ----
  // The reply to 0x16000C, cut to the caller's buffer; unset: the request fails.
  void SetDeviceId(std::vector<BYTE> reply);
  // A device ID with its two-byte big-endian length prefix.
  void SetDeviceIdText(const std::string& text);
  void SetFollowUpResult(bool succeeds);  // 0x160018
  // Each write accepts at most the next chunk (0: nothing); afterwards all.
  void SetWriteChunks(std::vector<DWORD> chunks);
  void AcceptNothing(bool nothing);
  // Every write from now on accepts at most `bytes` (0: no limit), and yields
  // the processor after it so that a writer racing another shows.
  void SetMaxWriteChunk(DWORD bytes);
  // From now on every read and write fails with `error` (1118, 1226 ...).
  void Vanish(DWORD error);
  // Bytes that reads deliver once `delayMs` have passed.
  void QueueRead(std::vector<BYTE> bytes, DWORD delayMs = 0);
  // Answers every ESC k 255 written with `status` after `delayMs`.
  void AnswerStatusRequest(BYTE status, DWORD delayMs);
  // The next read blocks this long before it goes on as usual.
  void StallNextRead(DWORD ms);
  // Serial lines only: GetCommState fails from now on.
  void FailCommState(bool fail);
  // Serial lines only: `bytes` stay in the transmit queue for good (the
  // printer stopped taking them). Draining fails with 1460, ClearCommError
  // counts them, and the close discards them and fails with 1460.
  void HoldOutput(DWORD bytes);

  // ---- observation ----
  std::vector<PortWrite> Writes() const;
  std::vector<BYTE> WrittenBytes() const;
  std::vector<RtsChange> RtsChanges() const;
  std::vector<DWORD> Purges() const;
  std::vector<DWORD> IoctlCodes() const;
  DCB Dcb() const;
  COMMTIMEOUTS Timeouts() const;
  bool TimeoutsSet() const;
  int OpenCount() const;  // handles currently open
  int TotalOpens() const;
  DWORD LastAccess() const;
  int WriteCalls() const;  // platform writes, accepted or not
  std::vector<DWORD> ReadSizes() const;  // bytes asked for, one entry per read call

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
  BOOL ClearCommError(uintptr_t open, DWORD* errors, COMSTAT* stat) override;
  BOOL FlushBuffers(uintptr_t open) override;

 private:
  using Clock = std::chrono::steady_clock;
  BOOL WriteLocked(const void* buffer, DWORD toWrite, DWORD* written);  // mutex_ held
  struct Pending {
    BYTE byte;
    Clock::time_point ready;
  };

  const Type type_;
  mutable std::mutex mutex_;
  std::condition_variable dataArrived_;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  bool timeoutsSet_ = false;
  bool failCommState_ = false;
  DWORD heldOutput_ = 0;
  DWORD stallMs_ = 0;
  bool hasDeviceId_ = false;
  std::vector<BYTE> deviceId_;
  bool followUpOk_ = true;
  std::deque<DWORD> chunks_;
  bool acceptNothing_ = false;
  DWORD maxChunk_ = 0;
  DWORD vanishError_ = 0;
  bool answers_ = false;
  BYTE answerStatus_ = 0;
  DWORD answerDelayMs_ = 0;
  std::deque<Pending> pending_;
  std::vector<PortWrite> writes_;
  std::vector<RtsChange> rts_;
  std::vector<DWORD> purges_;
  std::vector<DWORD> ioctls_;
  int open_ = 0;
  int totalOpens_ = 0;
  uintptr_t nextOpen_ = 1;
  DWORD lastAccess_ = 0;
  int writeCalls_ = 0;
  std::vector<DWORD> readSizes_;
};

// Creates a double and registers it under `name` (replacing nothing: the
// name must be free).
std::shared_ptr<PortDouble> InstallPort(const std::u16string& name, PortDouble::Type type);

}  // namespace kelo::test
