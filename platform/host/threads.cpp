// The handle table, events, waits, critical sections, threads and their
// message queues.

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host/host_internal.h"

namespace kelo::host {

// ---- signals ----

void Signal::Set() {
  std::lock_guard lock(mutex_);
  signalled_ = true;
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Signal::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void Signal::Pulse() {
  // Releases the waiters there are now (one for auto-reset) and leaves the
  // object unsignalled.
  std::lock_guard lock(mutex_);
  if (waiters_ > 0) {
    pulses_ = manual_ ? waiters_ : 1;
    cv_.notify_all();
  }
  signalled_ = false;
}

bool Signal::Wait(DWORD ms) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  ++waiters_;
  bool got = false;
  for (;;) {
    if (signalled_) {
      if (!manual_) signalled_ = false;
      got = true;
      break;
    }
    if (pulses_ > 0) {
      --pulses_;
      got = true;
      break;
    }
    if (ms == INFINITE) {
      cv_.wait(lock);
    } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && !signalled_ &&
               pulses_ == 0) {
      break;
    }
  }
  --waiters_;
  return got;
}

// ---- handle table ----

namespace {

struct HandleTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<HostObject>> objects;
  // Handle values grow and are not reused soon, so a stale handle fails
  // instead of reaching a new object.
  uintptr_t next = 0x1000;
};

HandleTable& Table() {
  static auto* table = new HandleTable;  // never destroyed: used until exit
  return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<HostObject> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HostObject> FindHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HostObject> RemoveHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

// ---- events ----

namespace {

class Event;

struct EventNames {
  std::mutex mutex;
  std::map<std::u16string, std::weak_ptr<Signal>> named;
};

EventNames& Names() {
  static auto* names = new EventNames;
  return *names;
}

class Event : public HostObject {
 public:
  explicit Event(std::shared_ptr<Signal> signal) : signal_(std::move(signal)) {}
  bool Waitable() const override { return true; }
  bool Wait(DWORD ms) override { return signal_->Wait(ms); }
  Signal& signal() { return *signal_; }

 private:
  std::shared_ptr<Signal> signal_;  // shared by every handle of a named event
};

// ---- threads and message queues ----

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<MSG> messages;
};

struct Threads {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
  std::atomic<DWORD> nextId{1};
};

Threads& AllThreads() {
  static auto* threads = new Threads;
  return *threads;
}

thread_local DWORD t_threadId = 0;

DWORD CurrentId() {
  if (t_threadId == 0) t_threadId = AllThreads().nextId.fetch_add(1);
  return t_threadId;
}

std::shared_ptr<MessageQueue> QueueOf(DWORD id) {
  Threads& t = AllThreads();
  std::lock_guard lock(t.mutex);
  const auto it = t.queues.find(id);
  return it == t.queues.end() ? nullptr : it->second;
}

// A thread that is not one of CreateThread's gets its queue at its first
// message call, as on the target.
std::shared_ptr<MessageQueue> OwnQueue() {
  const DWORD id = CurrentId();
  Threads& t = AllThreads();
  std::lock_guard lock(t.mutex);
  auto& queue = t.queues[id];
  if (!queue) queue = std::make_shared<MessageQueue>();
  return queue;
}

class Thread : public HostObject {
 public:
  Signal done{true, false};
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  bool Waitable() const override { return true; }
  bool Wait(DWORD ms) override { return done.Wait(ms); }
};

bool InRange(UINT message, UINT min, UINT max) {
  return (min == 0 && max == 0) || (message >= min && message <= max);
}

}  // namespace

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex*>(section->impl)->try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
  std::shared_ptr<Signal> signal;
  bool existed = false;
  if (name != nullptr && name[0] != 0) {
    EventNames& names = Names();
    std::lock_guard lock(names.mutex);
    auto& slot = names.named[std::u16string(name)];
    signal = slot.lock();
    if (signal) {
      existed = true;
    } else {
      signal = std::make_shared<Signal>(manualReset != 0, initialState != 0);
      slot = signal;
    }
  } else {
    signal = std::make_shared<Signal>(manualReset != 0, initialState != 0);
  }
  HANDLE handle = AddHandle(std::make_shared<Event>(std::move(signal)));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI EventModify(HANDLE handle, DWORD function) {
  auto event = std::dynamic_pointer_cast<Event>(FindHandle(handle));
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  switch (function) {
    case EVENT_SET:
      event->signal().Set();
      return TRUE;
    case EVENT_RESET:
      event->signal().Reset();
      return TRUE;
    case EVENT_PULSE:
      event->signal().Pulse();
      return TRUE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = FindHandle(handle);
  if (!object || !object->Waitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  const DWORD id = AllThreads().nextId.fetch_add(1);
  {
    Threads& t = AllThreads();
    std::lock_guard lock(t.mutex);
    t.queues[id] = std::make_shared<MessageQueue>();  // before anyone can post
  }
  try {
    std::thread([thread, id, start, parameter] {
      t_threadId = id;
      const DWORD code = start(parameter);
      {
        Threads& t = AllThreads();
        std::lock_guard lock(t.mutex);
        t.queues.erase(id);
      }
      thread->exitCode.store(code);
      thread->done.Set();
    }).detach();
  } catch (...) {
    Threads& t = AllThreads();
    std::lock_guard lock(t.mutex);
    t.queues.erase(id);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return AddHandle(thread);
}

DWORD WINAPI GetCurrentThreadId(void) { return CurrentId(); }

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto thread = std::dynamic_pointer_cast<Thread>(FindHandle(handle));
  if (!thread || exitCode == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = thread->exitCode.load();
  return TRUE;
}

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  auto queue = QueueOf(threadId);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  MSG msg = {};
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = GetTickCount();
  {
    std::lock_guard lock(queue->mutex);
    queue->messages.push_back(msg);
  }
  queue->cv.notify_all();
  return TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND, UINT filterMin, UINT filterMax, UINT removeFlags) {
  auto queue = OwnQueue();
  std::lock_guard lock(queue->mutex);
  for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
    if (!InRange(it->message, filterMin, filterMax)) continue;
    if (msg != nullptr) *msg = *it;
    if (removeFlags & PM_REMOVE) queue->messages.erase(it);
    return TRUE;
  }
  return FALSE;
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto queue = OwnQueue();
  std::unique_lock lock(queue->mutex);
  for (;;) {
    for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
      if (!InRange(it->message, filterMin, filterMax)) continue;
      *msg = *it;
      queue->messages.erase(it);
      return msg->message == WM_QUIT ? 0 : 1;
    }
    queue->cv.wait(lock);
  }
}

}  // extern "C"
