// Re-entrant critical sections over a heap std::recursive_mutex.

#include <mutex>

#include "platform/threads.h"

namespace {
std::recursive_mutex& MutexOf(LPCRITICAL_SECTION section) {
  return *static_cast<std::recursive_mutex*>(section->impl);
}
}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { MutexOf(section).lock(); }

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return MutexOf(section).try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { MutexOf(section).unlock(); }

}  // extern "C"
