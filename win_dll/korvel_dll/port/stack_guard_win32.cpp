#include "stack_guard_win32.h"

#include <cstdint>
#include <windows.h>

namespace {

// The guard until it is seeded: any value will do for the start-up code that
// runs before, as long as it stays the same while a protected frame is live.
constexpr std::uintptr_t kUnseededGuard = 0x00002B992DDFA232;

// What the system reports for a process ended by a smashed stack.
constexpr unsigned kStackCookieCheckFailure = FAST_FAIL_STACK_COOKIE_CHECK_FAILURE;
constexpr DWORD kStackBufferOverrun = 0xC0000409;

} // namespace

extern "C" {

// The names the compiler's stack protector refers to, reserved for just this.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
std::uintptr_t __stack_chk_guard = kUnseededGuard;

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
[[noreturn]] void __stack_chk_fail() {
  // __fastfail: the process ends at once, reported as a stack buffer overrun,
  // without running any more of its code. Where the system predates it the
  // interrupt faults instead, and the process ends all the same.
  asm volatile("int $0x29" : : "c"(kStackCookieCheckFailure) : "memory");
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_unreachable();
}

} // extern "C"

namespace korvel::port {

// Changes the guard, so it must not be protected by it itself.
__attribute__((no_stack_protector)) void seed_stack_guard() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  std::uintptr_t seed = (static_cast<std::uintptr_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  seed ^= static_cast<std::uintptr_t>(counter.QuadPart);
  seed ^= static_cast<std::uintptr_t>(GetCurrentProcessId()) << 32;
  seed ^= GetCurrentThreadId();
  seed ^= GetTickCount64() << 16;
  // The stack's place differs from process to process under address space
  // layout randomisation.
  seed ^= reinterpret_cast<std::uintptr_t>(&seed);
  __stack_chk_guard = seed != 0 ? seed : kUnseededGuard;
}

} // namespace korvel::port
