#include "emulator/emulated_printer.h"

#include <algorithm>
#include <cstring>

#include "emulator/file_io.h"
#include "emulator/preview_image.h"
#include "platform/host/host_ports.h"

namespace kelo::emulator {

namespace {

constexpr BYTE kEsc = 0x1B;
constexpr BYTE kStatusLetter = 0x6B;   // ESC k n
constexpr BYTE kStatusRequest = 0xFF;  // the n that asks for a status byte
constexpr size_t kDeviceIdCapacity = 0xFFFF;  // the length prefix is 16 bits

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string DeviceIdFor(const std::string& model) {
  return "MFG:Kelo;CMD:KELO;MDL:" + model + ";CLS:PRINTER;DESCRIPTION:" + model + ";";
}

// The line settings a serial port reports before anyone set them.
DCB InitialDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

void DebugLine(const std::string& text) {
  const std::u16string line = kelo::host::FromUtf8(text + "\r\n");
  OutputDebugStringW(line.c_str());
}

}  // namespace

EmulatedPrinter::EmulatedPrinter(PrinterConfig config)
    : config_(std::move(config)),
      decoder_(config_.rowBytes(), config_.planes),
      status_(config_.status),
      replyDelayMs_(config_.replyDelayMs),
      silent_(config_.silent),
      deviceId_(DeviceIdFor(config_.model)),
      dcb_(InitialDcb()) {}

EmulatedPrinter::~EmulatedPrinter() {
  if (capture_ != INVALID_HANDLE_VALUE) CloseHandle(capture_);
}

// ---- behaviour and faults ----

void EmulatedPrinter::SetStatus(BYTE status) { Store(status_, status); }

void EmulatedPrinter::SetReplyDelay(DWORD ms) { Store(replyDelayMs_, ms); }

void EmulatedPrinter::SetSilent(bool silent) { Store(silent_, silent); }

void EmulatedPrinter::SendStatus(BYTE status) {
  std::lock_guard lock(mutex_);
  // Unsolicited bytes go out now, ahead of answers still being prepared.
  const auto at = std::find_if(answers_.begin(), answers_.end(),
                               [now = Clock::now()](const Answer& a) { return a.ready > now; });
  answers_.insert(at, Answer{status, Clock::now()});
  ++statusAnswers_;
  changed_.notify_all();
}

void EmulatedPrinter::SetDeviceIdText(std::string text) { Store(deviceId_, std::move(text)); }

std::string EmulatedPrinter::DeviceIdText() const { return Locked(deviceId_); }

void EmulatedPrinter::SetWriteChunks(std::vector<DWORD> chunks) {
  std::lock_guard lock(mutex_);
  chunks_.assign(chunks.begin(), chunks.end());
}

void EmulatedPrinter::SetAcceptNothing(bool nothing) { Store(acceptNothing_, nothing); }

void EmulatedPrinter::SetFollowUpFails(bool fails) { Store(followUpFails_, fails); }

void EmulatedPrinter::SetVanished(bool vanished) { Store(vanished_, vanished); }

void EmulatedPrinter::SetInstantReads(bool instant) { Store(instantReads_, instant); }

void EmulatedPrinter::SetVanishAfterWrites(int n) { Store(writesBeforeVanishing_, n > 0 ? n : 0); }

DWORD EmulatedPrinter::LostError() const {
  return config_.type == PortType::kSerial ? ERROR_SERIAL_NO_DEVICE : ERROR_GRACEFUL_DISCONNECT;
}

// ---- files ----

bool EmulatedPrinter::SetCaptureFile(const std::string& path) {
  const std::u16string name = kelo::host::FromUtf8(path);
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::lock_guard lock(mutex_);
  if (capture_ != INVALID_HANDLE_VALUE) CloseHandle(capture_);
  capture_ = file;
  capturePath_ = path;
  return true;
}

void EmulatedPrinter::SetPreviewFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  previewPath_ = path;
}

bool EmulatedPrinter::WritePreview(const std::string& path, std::string* error) const {
  PreviewImage image;
  {
    std::lock_guard lock(mutex_);
    image = RenderPreview(decoder_, config_.widthDots);
  }
  std::vector<uint8_t> png;
  if (!EncodePng(image, &png, error)) return false;
  std::lock_guard files(previewMutex_);
  if (!WriteWholeFile(path, png)) {
    *error = "cannot write " + path + ": " + ErrorText(GetLastError());
    return false;
  }
  return true;
}

// ---- observation ----

std::vector<ReceivedWrite> EmulatedPrinter::Writes() const { return Locked(writes_); }

std::vector<BYTE> EmulatedPrinter::ReceivedBytes() const {
  std::lock_guard lock(mutex_);
  std::vector<BYTE> all;
  for (const ReceivedWrite& w : writes_) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

int EmulatedPrinter::WriteCalls() const { return Locked(writeCalls_); }

std::vector<RtsChange> EmulatedPrinter::RtsChanges() const { return Locked(rts_); }

std::vector<DWORD> EmulatedPrinter::Purges() const { return Locked(purges_); }

int EmulatedPrinter::OpenCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(opens_.size());
}

int EmulatedPrinter::TotalOpens() const { return Locked(totalOpens_); }

int EmulatedPrinter::StatusAnswers() const { return Locked(statusAnswers_); }

DCB EmulatedPrinter::Dcb() const { return Locked(dcb_); }

COMMTIMEOUTS EmulatedPrinter::Timeouts() const { return Locked(timeouts_); }

void EmulatedPrinter::Inspect(const std::function<void(const StreamDecoder&)>& look) const {
  std::lock_guard lock(mutex_);
  look(decoder_);
}

// ---- helpers (mutex_ held) ----

bool EmulatedPrinter::Usable(uintptr_t open, DWORD access) {
  const auto it = opens_.find(open);
  if (it == opens_.end()) return Fail(ERROR_INVALID_HANDLE);
  if (vanished_) return Fail(LostError());
  if (access != 0 && (it->second & access) == 0) return Fail(ERROR_ACCESS_DENIED);
  return true;
}

bool EmulatedPrinter::CountWriteCall() {
  ++writeCalls_;
  return writesBeforeVanishing_ > 0 && --writesBeforeVanishing_ == 0;
}

bool EmulatedPrinter::SerialOnly() {
  if (config_.type != PortType::kSerial) return Fail(ERROR_NOT_SUPPORTED);
  return true;
}

void EmulatedPrinter::QueueAnswer(Clock::time_point ready) {
  if (silent_) return;
  // Answers keep their order: one prepared later never overtakes.
  if (!answers_.empty() && answers_.back().ready > ready) ready = answers_.back().ready;
  answers_.push_back(Answer{status_, ready});
  ++statusAnswers_;
  changed_.notify_all();
}

void EmulatedPrinter::Accept(const BYTE* bytes, DWORD count) {
  writes_.push_back(ReceivedWrite{std::vector<BYTE>(bytes, bytes + count), GetTickCount()});
  if (capture_ != INVALID_HANDLE_VALUE) {
    DWORD put = 0;
    if (!WriteFile(capture_, bytes, count, &put, nullptr) || put != count) {
      DebugLine("emulated printer: capture " + capturePath_ + " stopped: " +
                ErrorText(GetLastError()));
      CloseHandle(capture_);
      capture_ = INVALID_HANDLE_VALUE;
    }
  }
  decoder_.Feed(bytes, count);
  // The decoder has already applied ESC @ to its own state; what is left
  // for the printer is to answer the status requests that arrived.
  const auto& controls = decoder_.controlCommands();
  const auto now = Clock::now();
  for (; controlsSeen_ < controls.size(); ++controlsSeen_) {
    const std::vector<uint8_t>& c = controls[controlsSeen_].bytes;
    if (c.size() == 3 && c[0] == kEsc && c[1] == kStatusLetter && c[2] == kStatusRequest) {
      QueueAnswer(now + std::chrono::milliseconds(replyDelayMs_));
    }
  }
}

void EmulatedPrinter::ReactToLine(DWORD oldRts, DWORD newRts) {
  const bool wasActive = oldRts != RTS_CONTROL_DISABLE;
  const bool isActive = newRts != RTS_CONTROL_DISABLE;
  if (wasActive && !isActive) {
    droppedAt_ = Clock::now();
    return;
  }
  if (wasActive || !isActive) return;
  const auto now = Clock::now();
  if (now - droppedAt_ < std::chrono::milliseconds(kResetDropMs)) {
    QueueAnswer(now + std::chrono::milliseconds(replyDelayMs_));
  } else {
    decoder_.ResetPrinter();
  }
}

// ---- Device ----

uintptr_t EmulatedPrinter::Open(DWORD access, DWORD) {
  std::lock_guard lock(mutex_);
  if (vanished_) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const uintptr_t id = nextOpen_++;
  opens_.emplace(id, access);
  ++totalOpens_;
  if (config_.announce) QueueAnswer(Clock::now() + std::chrono::milliseconds(replyDelayMs_));
  return id;
}

BOOL EmulatedPrinter::Close(uintptr_t open) {
  std::string preview;
  {
    std::lock_guard lock(mutex_);
    if (opens_.erase(open) == 0) return Fail(ERROR_INVALID_HANDLE);
    changed_.notify_all();  // a read or write waiting on this open gives up
    if (opens_.empty()) preview = previewPath_;
  }
  if (!preview.empty()) {
    std::string error;
    if (!WritePreview(preview, &error)) DebugLine("emulated printer: preview not written: " + error);
  }
  return TRUE;
}

BOOL EmulatedPrinter::Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read) {
  DWORD scratch = 0;
  if (read == nullptr) read = &scratch;
  *read = 0;
  std::unique_lock lock(mutex_);
  if (!Usable(open, GENERIC_READ)) return FALSE;
  if (toRead == 0) return TRUE;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  const COMMTIMEOUTS t = timeouts_;
  const bool immediate = instantReads_ || (t.ReadIntervalTimeout == MAXDWORD &&
                                           t.ReadTotalTimeoutMultiplier == 0 &&
                                           t.ReadTotalTimeoutConstant == 0);
  // Interval MAXDWORD with a total time-out: back as soon as anything came.
  const bool returnOnAny = t.ReadIntervalTimeout == MAXDWORD && !immediate;
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
  const auto start = Clock::now();
  const Clock::time_point never = Clock::time_point::max();
  Clock::time_point totalDeadline = never;
  if (!immediate) {
    const unsigned long long multiplier =
        t.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : t.ReadTotalTimeoutMultiplier;
    const unsigned long long total = multiplier * toRead + t.ReadTotalTimeoutConstant;
    if (total != 0) totalDeadline = start + std::chrono::milliseconds(total);
  }
  // On Windows CE the interval timer already runs before the first byte.
  Clock::time_point intervalDeadline =
      interval ? start + std::chrono::milliseconds(t.ReadIntervalTimeout) : never;

  auto* out = static_cast<BYTE*>(buffer);
  for (;;) {
    const auto now = Clock::now();
    DWORD got = 0;
    while (*read + got < toRead && !answers_.empty() && answers_.front().ready <= now) {
      out[*read + got++] = answers_.front().byte;
      answers_.pop_front();
    }
    *read += got;
    if (*read == toRead || (*read > 0 && returnOnAny) || immediate) return TRUE;
    if (got > 0 && interval) intervalDeadline = now + std::chrono::milliseconds(t.ReadIntervalTimeout);
    const Clock::time_point deadline = std::min(totalDeadline, intervalDeadline);
    if (now >= deadline) return TRUE;  // a time-out is a short count, not an error
    Clock::time_point wake = deadline;
    if (!answers_.empty()) wake = std::min(wake, answers_.front().ready);
    if (wake == never) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, wake);
    }
    if (!OpenIsLive(open)) return Fail(ERROR_INVALID_HANDLE);
    if (vanished_) return Fail(LostError());
  }
}

BOOL EmulatedPrinter::Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written) {
  DWORD scratch = 0;
  if (written == nullptr) written = &scratch;
  *written = 0;
  std::unique_lock lock(mutex_);
  if (!Usable(open, GENERIC_WRITE)) return FALSE;
  if (toWrite == 0) return TRUE;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const bool vanishAfter = CountWriteCall();
  // Unplugged as the counted call returns, whatever it returns.
  const auto result = [&](BOOL r) {
    if (vanishAfter) {
      vanished_ = true;
      changed_.notify_all();
    }
    return r;
  };

  DWORD accept = toWrite;
  if (!chunks_.empty()) {
    accept = std::min(accept, chunks_.front());
    chunks_.pop_front();
  } else if (acceptNothing_) {
    accept = 0;
  }
  if (accept == 0) {
    const unsigned long long total =
        static_cast<unsigned long long>(timeouts_.WriteTotalTimeoutMultiplier) * toWrite +
        timeouts_.WriteTotalTimeoutConstant;
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);
    changed_.wait_until(lock, deadline, [&] { return vanished_ || !OpenIsLive(open); });
    if (!OpenIsLive(open)) return result(Fail(ERROR_INVALID_HANDLE));
    if (vanished_) return result(Fail(LostError()));
    return result(TRUE);  // time-out: nothing written, no error
  }
  const DWORD callerError = GetLastError();  // the capture's file calls are not the caller's
  Accept(static_cast<const BYTE*>(buffer), accept);
  SetLastError(callerError);
  *written = accept;
  return result(TRUE);
}

BOOL EmulatedPrinter::IoControl(uintptr_t open, DWORD code, BYTE*, DWORD, BYTE* out,
                                DWORD outLen, DWORD* returned) {
  if (returned != nullptr) *returned = 0;
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0)) return FALSE;
  if (config_.type != PortType::kParallel) return Fail(ERROR_NOT_SUPPORTED);
  switch (code) {
    case kelo::host::kIoctlGetDeviceId: {
      if (out == nullptr && outLen != 0) return Fail(ERROR_INVALID_PARAMETER);
      if (outLen == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
      const size_t text = std::min(deviceId_.size(), kDeviceIdCapacity - 2);
      std::vector<BYTE> reply(text + 2);
      reply[0] = static_cast<BYTE>((text + 2) >> 8);  // big-endian, counts itself
      reply[1] = static_cast<BYTE>((text + 2) & 0xFF);
      std::memcpy(reply.data() + 2, deviceId_.data(), text);
      const size_t n = kelo::host::DeviceIdBytesToDeliver(reply.data(), reply.size(), outLen);
      std::memcpy(out, reply.data(), n);
      if (n < outLen) out[n] = 0;  // keeps a caller's string search inside the reply
      if (returned != nullptr) *returned = static_cast<DWORD>(n);
      return TRUE;
    }
    case kelo::host::kIoctlPortStatus: {
      if (followUpFails_) return Fail(ERROR_GEN_FAILURE);
      if (out != nullptr && outLen < sizeof(DWORD)) return Fail(ERROR_INSUFFICIENT_BUFFER);
      if (out != nullptr) {
        const DWORD status = status_;
        std::memcpy(out, &status, sizeof status);
        if (returned != nullptr) *returned = sizeof status;
      }
      return TRUE;
    }
    default:
      return Fail(ERROR_NOT_SUPPORTED);
  }
}

BOOL EmulatedPrinter::GetCommState(uintptr_t open, DCB* dcb) {
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0) || !SerialOnly()) return FALSE;
  *dcb = dcb_;
  return TRUE;
}

BOOL EmulatedPrinter::SetCommState(uintptr_t open, const DCB* dcb) {
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0) || !SerialOnly()) return FALSE;
  const DWORD oldRts = dcb_.fRtsControl;
  dcb_ = *dcb;
  if (dcb->fRtsControl != oldRts) {
    rts_.push_back(RtsChange{dcb->fRtsControl, GetTickCount()});
    ReactToLine(oldRts, dcb->fRtsControl);
  }
  return TRUE;
}

BOOL EmulatedPrinter::GetCommTimeouts(uintptr_t open, COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0)) return FALSE;
  *timeouts = timeouts_;
  return TRUE;
}

BOOL EmulatedPrinter::SetCommTimeouts(uintptr_t open, const COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0)) return FALSE;
  timeouts_ = *timeouts;
  return TRUE;
}

BOOL EmulatedPrinter::PurgeComm(uintptr_t open, DWORD flags) {
  std::lock_guard lock(mutex_);
  if (!Usable(open, 0) || !SerialOnly()) return FALSE;
  purges_.push_back(flags);
  // Nothing waits on the transmit side: accepted bytes are printed at once.
  // The receive side holds the answers already sent; those still being
  // prepared come later.
  if ((flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0) {
    const auto now = Clock::now();
    while (!answers_.empty() && answers_.front().ready <= now) answers_.pop_front();
  }
  return TRUE;
}

}  // namespace kelo::emulator
