// Thread ids and the per-thread message queues: PostThreadMessageW,
// PeekMessageW, GetMessageW.

#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<MSG> messages;
};

struct Queues {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<MessageQueue>> byThread;
  std::atomic<DWORD> nextId{1};
};

Queues& All() {
  static auto* queues = new Queues;  // never destroyed: threads may post until exit
  return *queues;
}

thread_local DWORD t_threadId = 0;

// Removes a queue made on first use when its thread ends, so that posting to
// the ended thread fails as it does for CreateThread's threads.
struct LazyQueueOwner {
  DWORD id = 0;
  ~LazyQueueOwner() {
    if (id != 0) RemoveQueueOf(id);
  }
};
thread_local LazyQueueOwner t_lazyQueue;

DWORD CurrentId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

std::shared_ptr<MessageQueue> QueueOf(DWORD id) {
  Queues& q = All();
  std::lock_guard lock(q.mutex);
  const auto it = q.byThread.find(id);
  return it == q.byThread.end() ? nullptr : it->second;
}

// A thread that CreateThread did not make gets its queue at its first
// message call, as on the target.
std::shared_ptr<MessageQueue> OwnQueue() {
  const DWORD id = CurrentId();
  Queues& q = All();
  std::lock_guard lock(q.mutex);
  auto& queue = q.byThread[id];
  if (!queue) {
    queue = std::make_shared<MessageQueue>();
    t_lazyQueue.id = id;
  }
  return queue;
}

// WM_QUIT is retrieved whatever the filter, as on the target.
bool Matches(UINT message, UINT min, UINT max) {
  return message == WM_QUIT || (min == 0 && max == 0) || (message >= min && message <= max);
}

}  // namespace

DWORD NewThreadId() {
  DWORD id = All().nextId.fetch_add(1);
  while (id == 0) id = All().nextId.fetch_add(1);  // 0 is no thread id
  return id;
}

void AdoptThreadId(DWORD id) { t_threadId = id; }

void CreateQueueFor(DWORD id) {
  Queues& q = All();
  std::lock_guard lock(q.mutex);
  q.byThread[id] = std::make_shared<MessageQueue>();
}

void RemoveQueueOf(DWORD id) {
  Queues& q = All();
  std::lock_guard lock(q.mutex);
  q.byThread.erase(id);
}

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) { return CurrentId(); }

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
    if (!Matches(it->message, filterMin, filterMax)) continue;
    if (msg != nullptr) *msg = *it;
    if ((removeFlags & PM_REMOVE) != 0) queue->messages.erase(it);
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
      if (!Matches(it->message, filterMin, filterMax)) continue;
      *msg = *it;
      queue->messages.erase(it);
      return msg->message == WM_QUIT ? 0 : 1;
    }
    queue->cv.wait(lock);
  }
}

}  // extern "C"
