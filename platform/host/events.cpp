// Signals, events (named and unnamed) and WaitForSingleObject.

#include <chrono>
#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

// ---- signals ----

void Signal::Set() {
  std::lock_guard lock(mutex_);
  if (manual_) {
    signalled_ = true;
    ++generation_;
    cv_.notify_all();
  } else if (waiters_ > grants_) {
    ++grants_;  // straight to a waiter: the event never looks signalled
    cv_.notify_one();
  } else {
    signalled_ = true;
  }
}

void Signal::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void Signal::Pulse() {
  std::lock_guard lock(mutex_);
  if (manual_) {
    ++generation_;
    cv_.notify_all();
  } else if (waiters_ > grants_) {
    ++grants_;
    cv_.notify_one();
  }
  signalled_ = false;
}

bool Signal::Wait(DWORD ms) {
  std::unique_lock lock(mutex_);
  if (signalled_) {
    if (!manual_) signalled_ = false;
    return true;
  }
  if (ms == 0) return false;
  const uint64_t seen = generation_;
  const auto released = [&] { return manual_ ? generation_ != seen : grants_ > 0; };
  ++waiters_;
  bool got = true;
  if (ms == INFINITE) {
    cv_.wait(lock, released);
  } else {
    got = cv_.wait_for(lock, std::chrono::milliseconds(ms), released);
  }
  if (got && !manual_) --grants_;
  --waiters_;
  return got;
}

namespace {

// Every handle of a named event shares one signal; the name lives while a
// handle does.
struct EventNames {
  std::mutex mutex;
  std::map<std::u16string, std::weak_ptr<Signal>> named;
};

EventNames& Names() {
  static auto* names = new EventNames;  // never destroyed: used until exit
  return *names;
}

class Event : public HostObject {
 public:
  explicit Event(std::shared_ptr<Signal> signal) : signal_(std::move(signal)) {}
  bool Waitable() const override { return true; }
  bool Wait(DWORD ms) override { return signal_->Wait(ms); }
  Signal& signal() { return *signal_; }

 private:
  std::shared_ptr<Signal> signal_;
};

}  // namespace

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
  std::shared_ptr<Signal> signal;
  bool existed = false;
  if (name != nullptr && name[0] != 0) {
    EventNames& names = Names();
    std::lock_guard lock(names.mutex);
    auto& slot = names.named[std::u16string(WideView(name))];
    signal = slot.lock();
    if (signal) {
      existed = true;  // the first creator's type and state stand
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
  // The object stays alive while we wait, even if its handle is closed.
  return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // extern "C"
