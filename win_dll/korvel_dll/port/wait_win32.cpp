#include "wait_win32.h"

#include <windows.h>

namespace korvel::port {
namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which MinGW-w64 10's headers lack.
constexpr DWORD kHighResolutionTimerFlag = 0x00000002;

constexpr LONGLONG kMillisecondsPerSecond = 1000;
// A waitable timer's due time counts in units of 100 ns.
constexpr LONGLONG kTimerUnitsPerSecond = 10000000;

// The timer of every wait, made by the first one. Plain variables rather
// than a function-local static: the guard of such a static would bring in a
// threads runtime that runs code on every thread of the host. The export
// lock already keeps waits apart.
HANDLE g_timer = nullptr;
// The system refused the timer once: it is not asked again.
bool g_timer_refused = false;

// Null when the system refuses a high-resolution timer.
HANDLE high_resolution_timer() {
  if (g_timer == nullptr && !g_timer_refused) {
    g_timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimerFlag,
                                     TIMER_MODIFY_STATE | SYNCHRONIZE);
    g_timer_refused = g_timer == nullptr;
  }
  return g_timer;
}

// Performance-counter ticks in another unit, rounded up, without overflow
// for any wait a DWORD can ask for.
LONGLONG ticks_to(LONGLONG ticks, LONGLONG frequency, LONGLONG units_per_second) {
  return ticks / frequency * units_per_second +
         (ticks % frequency * units_per_second + frequency - 1) / frequency;
}

LONGLONG counter_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// One wait of about `ticks` on the timer; false if the timer failed.
bool wait_on_timer(HANDLE timer, LONGLONG ticks, LONGLONG frequency) {
  LARGE_INTEGER due;
  due.QuadPart = -ticks_to(ticks, frequency, kTimerUnitsPerSecond); // negative: relative
  return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE &&
         WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

} // namespace

void wait_at_least(std::uint32_t milliseconds, WaitMethod method) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const LONGLONG deadline =
      counter_now() + ticks_to(milliseconds, kMillisecondsPerSecond, frequency.QuadPart);
  HANDLE timer = method == WaitMethod::HighResolutionTimer ? high_resolution_timer() : nullptr;
  // Either wait may end a little early; the rest is waited for again.
  for (LONGLONG now = counter_now(); now < deadline; now = counter_now()) {
    const LONGLONG remaining = deadline - now;
    if (timer != nullptr && wait_on_timer(timer, remaining, frequency.QuadPart)) {
      continue;
    }
    timer = nullptr;
    Sleep(static_cast<DWORD>(ticks_to(remaining, frequency.QuadPart, kMillisecondsPerSecond)));
  }
}

void release_wait_timer() {
  if (g_timer != nullptr) {
    (void)CloseHandle(g_timer);
  }
  g_timer = nullptr;
  g_timer_refused = false;
}

} // namespace korvel::port
