// CreateThread and its thread handles.

#include <atomic>
#include <thread>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

// Signalled (manual reset) when the thread function has returned.
class Thread : public HostObject {
 public:
  Signal done{true, false};
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  bool Waitable() const override { return true; }
  bool Wait(DWORD ms) override { return done.Wait(ms); }
};

}  // namespace

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  const DWORD id = NewThreadId();
  CreateQueueFor(id);  // before anyone can know the id: no post is lost
  try {
    std::thread([thread, id, start, parameter] {
      AdoptThreadId(id);
      const DWORD code = start(parameter);
      // Gone before the handle is signalled: a post after the wait fails.
      RemoveQueueOf(id);
      thread->exitCode.store(code);
      thread->done.Set();
    }).detach();
  } catch (...) {
    RemoveQueueOf(id);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return AddHandle(thread);
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto thread = std::dynamic_pointer_cast<Thread>(FindHandle(handle));
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = thread->exitCode.load();
  return TRUE;
}

}  // extern "C"
