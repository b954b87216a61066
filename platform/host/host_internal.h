// Shared pieces of the host platform: the handle table and the objects it
// holds, signals, thread message queues and small helpers. Private to
// platform/host.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/host/host_api.h"

namespace kelo::host {

// Win32 codes that host files can report and platform/win_types.h does not
// declare.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorFilenameTooLong = 206;

// Anything a HANDLE can stand for. The defaults are those of a handle that
// supports none of the operations.
class HostObject {
 public:
  virtual ~HostObject() = default;
  // Waitable objects (events, threads) override these. Wait: up to `ms`
  // (INFINITE: for ever); true when signalled.
  virtual bool Waitable() const { return false; }
  virtual bool Wait(DWORD) { return false; }
  // False for handles that only their own function may release
  // (DeactivateDevice).
  virtual bool ClosedByCloseHandle() const { return true; }
  // Called by CloseHandle after the object left the table.
  virtual BOOL OnClose() { return TRUE; }
  virtual BOOL Read(void* buffer, DWORD toRead, DWORD* read);
  virtual BOOL Write(const void* buffer, DWORD toWrite, DWORD* written);
  virtual BOOL IoControl(DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                         DWORD* returned);
  // FlushFileBuffers; objects that buffer nothing succeed.
  virtual BOOL FlushBuffers() { return TRUE; }
};

// Handle values are never 0 or -1 and grow, so a closed handle is not reused
// soon after and a stale handle fails instead of reaching a new object.
HANDLE AddHandle(std::shared_ptr<HostObject> object);
std::shared_ptr<HostObject> FindHandle(HANDLE handle);
// Removes the handle when `accept` agrees; null when it is unknown or refused.
std::shared_ptr<HostObject> RemoveHandleIf(HANDLE handle,
                                           const std::function<bool(HostObject&)>& accept);

// The signalled state of an event or a thread, with the target's semantics:
// a manual-reset signal releases every waiter; an auto-reset one releases a
// single waiter and resets, and stays signalled while nobody waits. A set or
// a pulse releases the waiters present at that moment even when the signal
// is reset before they run.
class Signal {
 public:
  Signal(bool manualReset, bool initial) : manual_(manualReset), signalled_(initial) {}
  void Set();
  void Reset();
  void Pulse();
  bool Wait(DWORD ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool signalled_;
  unsigned waiters_ = 0;     // threads inside Wait
  unsigned grants_ = 0;      // auto-reset: releases handed to waiters, not yet taken
  uint64_t generation_ = 0;  // manual-reset: bumped by every set and pulse
};

// ---- thread ids and message queues (messages.cpp) ----
DWORD NewThreadId();
// Gives the calling thread the id CreateThread chose for it.
void AdoptThreadId(DWORD id);
// Creates the queue of a thread made by CreateThread, before it runs, and
// removes it when the thread function has returned.
void CreateQueueFor(DWORD id);
void RemoveQueueOf(DWORD id);

// ---- strings (strings.cpp) ----
// ASCII case folding: names of keys, values, devices and modules.
std::u16string Lower(std::u16string_view text);
size_t WideLength(const WCHAR* text);
inline std::u16string_view WideView(const WCHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text, WideLength(text));
}

// ---- debug output (debug_output.cpp) ----
// A line of the platform's own diagnostics; "\r\n" is appended.
void DebugLine(std::string_view utf8Line);

// ---- devices (devices.cpp, host_files.cpp) ----
// Publishes a device under a name; false when the name is taken.
bool PublishDevice(std::u16string_view name, std::shared_ptr<Device> device);
// Unpublishes the name only while it still stands for `device` (null: any).
bool UnpublishDevice(std::u16string_view name, const Device* device);
// Opens a file of the host (UTF-8 path) with Win32 access and creation
// semantics; INVALID_HANDLE_VALUE with the last error on failure.
HANDLE OpenHostFile(std::u16string_view name, DWORD access, DWORD creation);

}  // namespace kelo::host
