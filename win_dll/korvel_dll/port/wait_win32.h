// Waits that keep their length on Windows. Sleep() rounds up to the system
// timer's period, 15.6 ms by default: Sleep(10) takes about 15.6 ms and
// Sleep(20) about 31. A high-resolution waitable timer keeps a wait close to
// what was asked without changing anything process-wide.
#pragma once

#include <cstdint>

namespace korvel::port {

enum class WaitMethod {
  // A high-resolution waitable timer (Windows 10 1803 and later), created on
  // first use and kept until release_wait_timer(); Sleep where the system
  // refuses one.
  HighResolutionTimer,
  // Sleep alone.
  Sleep,
};

// Blocks the calling thread for at least milliseconds, measured on the
// performance counter. Not thread-safe: the library waits only under the
// export lock, which is what lets the timer be created without a guard.
void wait_at_least(std::uint32_t milliseconds, WaitMethod method);

// Closes the timer, if one was created; the next wait creates it anew.
// Called under the export lock when the module is unloaded.
void release_wait_timer();

} // namespace korvel::port
