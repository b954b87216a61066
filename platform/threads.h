// Threads, per-thread message queues, named events, waits and critical
// sections of the target platform.
#pragma once

#include "platform/ce_declarations.h"
#include "platform/win_types.h"

#if !defined(_WIN32)

// ---- critical sections (re-entrant) ----
struct CRITICAL_SECTION {
  void* impl;  // owned by the host implementation between Initialize and Delete
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

PLATFORM_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
PLATFORM_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

// ---- events ----
// A name that exists returns that same event and sets ERROR_ALREADY_EXISTS.
PLATFORM_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                        BOOL initialState, LPCWSTR name);
inline BOOL SetEvent(HANDLE event) { return EventModify(event, EVENT_SET); }
inline BOOL ResetEvent(HANDLE event) { return EventModify(event, EVENT_RESET); }
inline BOOL PulseEvent(HANDLE event) { return EventModify(event, EVENT_PULSE); }

// ---- waits (events and threads) ----
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

PLATFORM_API DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);

// ---- threads ----
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 0x00000103u

// The new thread has its message queue from the start, so messages posted
// right after CreateThread returns are never lost.
PLATFORM_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, DWORD stackSize,
                                        LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                        DWORD flags, LPDWORD threadId);
PLATFORM_API DWORD WINAPI GetCurrentThreadId(void);
PLATFORM_API BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// ---- thread messages ----
#define WM_QUIT 0x0012u
#define WM_USER 0x0400u
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

// Fails with ERROR_INVALID_THREAD_ID when the thread has no queue.
PLATFORM_API BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam,
                                            LPARAM lParam);
// Returns non-zero when a message in [filterMin, filterMax] was found
// (0 and 0: any message).
PLATFORM_API BOOL WINAPI PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                                      UINT removeFlags);
// Blocks for a message: > 0 for a message, 0 for WM_QUIT, -1 on error.
PLATFORM_API BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);

#endif  // !_WIN32

// The layouts the platform and the host share. hwnd, wParam and lParam are
// pointer-sized: 28 bytes on the target, 48 on a 64-bit host.
static_assert(offsetof(MSG, message) == sizeof(void*));
static_assert(offsetof(MSG, wParam) == (sizeof(void*) == 4 ? 8 : 16));
static_assert(offsetof(MSG, lParam) == (sizeof(void*) == 4 ? 12 : 24));
static_assert(offsetof(MSG, time) == (sizeof(void*) == 4 ? 16 : 32));
static_assert(offsetof(MSG, pt) == (sizeof(void*) == 4 ? 20 : 36));
static_assert(sizeof(MSG) == (sizeof(void*) == 4 ? 28 : 48));
