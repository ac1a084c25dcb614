#include "wait_win32.h"

#include <windows.h>

namespace korvel::port {
namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which MinGW-w64 10's headers lack.
constexpr DWORD kHighResolutionTimerFlag = 0x00000002;

constexpr LONGLONG kMillisecondsPerSecond = 1000;
// A waitable timer's due time counts in units of 100 ns.
constexpr LONGLONG kTimerUnitsPerSecond = 10000000;

// Null when the system refuses a high-resolution timer.
HANDLE high_resolution_timer() {
  static const HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimerFlag,
                                                     TIMER_MODIFY_STATE | SYNCHRONIZE);
  return timer;
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

} // namespace korvel::port
