// unload_host: loads and unloads korvel_dll.dll from beside itself, again and
// again, and prints the process's handle count before and after.
//
//   unload_host PORT CYCLES
//
// Each cycle loads the library, opens PORT, asks for the version (which
// waits) and unloads it again; every second cycle closes the interface
// first, the others leave it for the unload. One line:
//   op=cycles result=0 handles_before=N handles_after=M failed_calls=K
// Exit status 0, or kExitBadArguments / kExitLoadFailed.
#include "exports.h"
#include "step_line.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr const char *kLibraryName = "korvel_dll.dll";
constexpr int kExitBadArguments = 64;
constexpr int kExitLoadFailed = 65;
constexpr std::int32_t kVersionCapacity = 64;

// Handle values are multiples of 4, and a small process's stay low.
// GetProcessHandleCount would be the direct way, but Wine reports 0.
constexpr std::uintptr_t kHandleStep = 4;
constexpr std::uintptr_t kHighestHandleLookedAt = 0x10000;

// The process's open handles, counted by asking after each value in turn.
int handle_count() {
  int count = 0;
  for (std::uintptr_t value = kHandleStep; value <= kHighestHandleLookedAt; value += kHandleStep) {
    DWORD flags = 0;
    count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
  }
  return count;
}

template <typename Function> bool resolve(HMODULE module, const char *name, Function &out) {
  const FARPROC found = GetProcAddress(module, name);
  out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
  return found != nullptr;
}

// One cycle; false if the library could not be loaded. Counts the calls
// that did not return 0.
bool cycle(const char *port, bool close_first, int &failed_calls) {
  const HMODULE module = LoadLibraryA(kLibraryName);
  if (module == nullptr) {
    return false;
  }
  KorvelExports library;
  const bool resolved = resolve(module, "MDB_IF_OpenInterface", library.open) &&
                        resolve(module, "MDB_IF_GetVersion", library.version) &&
                        resolve(module, "MDB_IF_CloseInterface", library.close);
  if (resolved) {
    MDB_IF_HANDLE handle = nullptr;
    char text[kVersionCapacity];
    failed_calls += library.open(port, &handle) != MDB_IF_OK;
    failed_calls += library.version(handle, text, kVersionCapacity) != MDB_IF_OK;
    if (close_first) {
      failed_calls += library.close(handle) != MDB_IF_OK;
    }
  }
  FreeLibrary(module);
  return resolved;
}

} // namespace

int main(int argc, char **argv) {
  const int cycles = argc == 3 ? std::atoi(argv[2]) : 0;
  if (cycles < 1) {
    return kExitBadArguments;
  }
  const int before = handle_count();
  int failed_calls = 0;
  for (int i = 0; i < cycles; ++i) {
    if (!cycle(argv[1], i % 2 == 0, failed_calls)) {
      StepLine("cycles").add("result", "failed").print();
      return kExitLoadFailed;
    }
  }
  StepLine("cycles")
      .add("result", 0)
      .add("handles_before", before)
      .add("handles_after", handle_count())
      .add("failed_calls", failed_calls)
      .print();
  return 0;
}
