#include "tests/port/port_double.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace kelo::test {

namespace {
constexpr DWORD kIoctlGetDeviceId = 0x16000C;
constexpr DWORD kIoctlFollowUp = 0x160018;
// A serial read without time-outs waits this long before it reports nothing.
constexpr DWORD kDefaultReadWaitMs = 20;
}  // namespace

PortDouble::PortDouble(Type type) : type_(type) {
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
  dcb_.fBinary = 1;
  dcb_.fDtrControl = DTR_CONTROL_ENABLE;
  dcb_.fRtsControl = RTS_CONTROL_ENABLE;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
}

void PortDouble::SetDeviceId(std::vector<BYTE> reply) {
  std::lock_guard lock(mutex_);
  hasDeviceId_ = true;
  deviceId_ = std::move(reply);
}

void PortDouble::SetDeviceIdText(const std::string& text) {
  const size_t total = text.size() + 2;
  std::vector<BYTE> reply{static_cast<BYTE>(total >> 8), static_cast<BYTE>(total & 0xFF)};
  reply.insert(reply.end(), text.begin(), text.end());
  SetDeviceId(std::move(reply));
}

void PortDouble::SetFollowUpResult(bool succeeds) {
  std::lock_guard lock(mutex_);
  followUpOk_ = succeeds;
}

void PortDouble::SetWriteChunks(std::vector<DWORD> chunks) {
  std::lock_guard lock(mutex_);
  chunks_.assign(chunks.begin(), chunks.end());
}

void PortDouble::AcceptNothing(bool nothing) {
  std::lock_guard lock(mutex_);
  acceptNothing_ = nothing;
}

void PortDouble::SetMaxWriteChunk(DWORD bytes) {
  std::lock_guard lock(mutex_);
  maxChunk_ = bytes;
}

void PortDouble::Vanish(DWORD error) {
  std::lock_guard lock(mutex_);
  vanishError_ = error;
  dataArrived_.notify_all();
}

void PortDouble::QueueRead(std::vector<BYTE> bytes, DWORD delayMs) {
  std::lock_guard lock(mutex_);
  const auto ready = Clock::now() + std::chrono::milliseconds(delayMs);
  for (BYTE b : bytes) pending_.push_back({b, ready});
  dataArrived_.notify_all();
}

void PortDouble::AnswerStatusRequest(BYTE status, DWORD delayMs) {
  std::lock_guard lock(mutex_);
  answers_ = true;
  answerStatus_ = status;
  answerDelayMs_ = delayMs;
}

void PortDouble::StallNextRead(DWORD ms) {
  std::lock_guard lock(mutex_);
  stallMs_ = ms;
}

void PortDouble::FailCommState(bool fail) {
  std::lock_guard lock(mutex_);
  failCommState_ = fail;
}

std::vector<PortWrite> PortDouble::Writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<BYTE> PortDouble::WrittenBytes() const {
  std::lock_guard lock(mutex_);
  std::vector<BYTE> all;
  for (const PortWrite& w : writes_) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

std::vector<RtsChange> PortDouble::RtsChanges() const {
  std::lock_guard lock(mutex_);
  return rts_;
}

std::vector<DWORD> PortDouble::Purges() const {
  std::lock_guard lock(mutex_);
  return purges_;
}

std::vector<DWORD> PortDouble::IoctlCodes() const {
  std::lock_guard lock(mutex_);
  return ioctls_;
}

DCB PortDouble::Dcb() const {
  std::lock_guard lock(mutex_);
  return dcb_;
}

COMMTIMEOUTS PortDouble::Timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

bool PortDouble::TimeoutsSet() const {
  std::lock_guard lock(mutex_);
  return timeoutsSet_;
}

int PortDouble::OpenCount() const {
  std::lock_guard lock(mutex_);
  return open_;
}

int PortDouble::TotalOpens() const {
  std::lock_guard lock(mutex_);
  return totalOpens_;
}

std::vector<DWORD> PortDouble::ReadSizes() const {
  std::lock_guard lock(mutex_);
  return readSizes_;
}

DWORD PortDouble::LastAccess() const {
  std::lock_guard lock(mutex_);
  return lastAccess_;
}

int PortDouble::WriteCalls() const {
  std::lock_guard lock(mutex_);
  return writeCalls_;
}

uintptr_t PortDouble::Open(DWORD access, DWORD) {
  std::lock_guard lock(mutex_);
  ++open_;
  ++totalOpens_;
  lastAccess_ = access;
  return nextOpen_++;
}

BOOL PortDouble::Close(uintptr_t) {
  std::lock_guard lock(mutex_);
  --open_;
  if (heldOutput_ == 0) return TRUE;
  heldOutput_ = 0;  // discarded
  SetLastError(ERROR_TIMEOUT);
  return FALSE;
}

void PortDouble::HoldOutput(DWORD bytes) {
  std::lock_guard lock(mutex_);
  heldOutput_ = bytes;
}

BOOL PortDouble::ClearCommError(uintptr_t, DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(mutex_);
  if (type_ != Type::kSerial) return kelo::host::Device::ClearCommError(0, errors, stat);
  if (errors != nullptr) *errors = 0;
  if (stat != nullptr) {
    *stat = COMSTAT{};
    stat->cbOutQue = heldOutput_;
  }
  return TRUE;
}

BOOL PortDouble::FlushBuffers(uintptr_t) {
  std::lock_guard lock(mutex_);
  if (heldOutput_ == 0) return TRUE;
  SetLastError(ERROR_TIMEOUT);
  return FALSE;
}

BOOL PortDouble::Read(uintptr_t, void* buffer, DWORD toRead, DWORD* read) {
  std::unique_lock lock(mutex_);
  *read = 0;
  readSizes_.push_back(toRead);
  if (stallMs_ != 0) {
    const DWORD stall = stallMs_;
    stallMs_ = 0;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(stall));
    lock.lock();
  }
  const auto deadline =
      Clock::now() +
      std::chrono::milliseconds(type_ == Type::kSerial
                                    ? (timeoutsSet_ ? timeouts_.ReadTotalTimeoutConstant
                                                    : kDefaultReadWaitMs)
                                    : 0);
  for (;;) {
    if (vanishError_ != 0) {
      SetLastError(vanishError_);
      return FALSE;
    }
    const auto now = Clock::now();
    DWORD n = 0;
    auto* out = static_cast<BYTE*>(buffer);
    while (n < toRead && !pending_.empty() && pending_.front().ready <= now) {
      out[n++] = pending_.front().byte;
      pending_.pop_front();
    }
    if (n > 0) {
      *read = n;
      return TRUE;
    }
    if (now >= deadline) return TRUE;  // a time-out is a short count, not an error
    auto wakeAt = deadline;
    if (!pending_.empty()) wakeAt = std::min(wakeAt, pending_.front().ready);
    dataArrived_.wait_until(lock, wakeAt);
  }
}

BOOL PortDouble::Write(uintptr_t, const void* buffer, DWORD toWrite, DWORD* written) {
  bool yield = false;
  {
    std::lock_guard lock(mutex_);
    yield = maxChunk_ != 0;
    if (!WriteLocked(buffer, toWrite, written)) return FALSE;
  }
  if (yield) std::this_thread::yield();
  return TRUE;
}

BOOL PortDouble::WriteLocked(const void* buffer, DWORD toWrite, DWORD* written) {
  ++writeCalls_;
  *written = 0;
  if (vanishError_ != 0) {
    SetLastError(vanishError_);
    return FALSE;
  }
  DWORD accept = toWrite;
  if (acceptNothing_) {
    accept = 0;
  } else if (!chunks_.empty()) {
    accept = std::min(accept, chunks_.front());
    chunks_.pop_front();
  }
  if (maxChunk_ != 0) accept = std::min(accept, maxChunk_);
  if (accept == 0) return TRUE;
  const auto* bytes = static_cast<const BYTE*>(buffer);
  writes_.push_back({std::vector<BYTE>(bytes, bytes + accept), GetTickCount()});
  static constexpr BYTE kStatusRequest[3] = {0x1B, 0x6B, 0xFF};
  if (answers_ && accept == 3 && std::memcmp(bytes, kStatusRequest, 3) == 0) {
    pending_.push_back(
        {answerStatus_, Clock::now() + std::chrono::milliseconds(answerDelayMs_)});
    dataArrived_.notify_all();
  }
  *written = accept;
  return TRUE;
}

BOOL PortDouble::IoControl(uintptr_t, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen,
                           DWORD* returned) {
  std::lock_guard lock(mutex_);
  ioctls_.push_back(code);
  if (code == kIoctlGetDeviceId && type_ == Type::kParallel && hasDeviceId_) {
    const DWORD n = std::min<DWORD>(outLen, static_cast<DWORD>(deviceId_.size()));
    if (out != nullptr && n > 0) std::memcpy(out, deviceId_.data(), n);
    if (returned != nullptr) *returned = n;
    return TRUE;
  }
  if (code == kIoctlFollowUp && type_ == Type::kParallel && followUpOk_ && vanishError_ == 0) {
    if (out != nullptr && outLen >= 4) std::memset(out, 0, 4);
    if (returned != nullptr) *returned = outLen >= 4 ? 4 : 0;
    return TRUE;
  }
  SetLastError(vanishError_ != 0 ? vanishError_ : ERROR_GEN_FAILURE);
  return FALSE;
}

BOOL PortDouble::GetCommState(uintptr_t, DCB* dcb) {
  std::lock_guard lock(mutex_);
  if (type_ != Type::kSerial || failCommState_) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  *dcb = dcb_;
  return TRUE;
}

BOOL PortDouble::SetCommState(uintptr_t, const DCB* dcb) {
  std::lock_guard lock(mutex_);
  if (type_ != Type::kSerial) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  dcb_ = *dcb;
  rts_.push_back({dcb->fRtsControl, GetTickCount()});
  return TRUE;
}

BOOL PortDouble::GetCommTimeouts(uintptr_t, COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  *timeouts = timeouts_;
  return TRUE;
}

BOOL PortDouble::SetCommTimeouts(uintptr_t, const COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = *timeouts;
  timeoutsSet_ = true;
  return TRUE;
}

BOOL PortDouble::PurgeComm(uintptr_t, DWORD flags) {
  std::lock_guard lock(mutex_);
  if (type_ != Type::kSerial) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  purges_.push_back(flags);
  return TRUE;
}

std::shared_ptr<PortDouble> InstallPort(const std::u16string& name, PortDouble::Type type) {
  auto port = std::make_shared<PortDouble>(type);
  kelo::host::RegisterDevice(name, port);
  return port;
}

}  // namespace kelo::test
