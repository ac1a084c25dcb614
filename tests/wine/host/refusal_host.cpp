// refusal_host.exe: loads korvel_dll.dll from its own directory and makes each
// call that the public header says is refused, with guard bytes around every
// buffer it passes. One line per case:
//
//   case=<name> result=<code> ms=<duration> clean=<1 when nothing in or
//   around the buffers changed, and a reply length was left as it was>
//
// Usage: refusal_host PORT, where PORT has an adapter behind it. The port is
// opened first; at the end a line reset shows that it is still the current,
// working interface, and it is closed.
#include "exports.h"
#include "guarded.h"
#include "korvel_dll.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int32_t kCapacity = 64;
constexpr int kExitLoadFailed = 65;

std::int64_t now_ms() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return counter.QuadPart * 1000 / frequency.QuadPart;
}

void report(const char *name, std::int32_t result, std::int64_t started, bool clean) {
  std::printf("case=%s result=%d ms=%lld clean=%d\n", name, static_cast<int>(result),
              static_cast<long long>(now_ms() - started), clean ? 1 : 0);
  std::fflush(stdout);
}

// An exec whose reply buffer and reply length are both guarded; the length
// holds `capacity` before the call and must still hold it after.
void exec_case(const KorvelExports &library, MDB_IF_HANDLE handle, const char *name,
               const std::uint8_t *command, std::int32_t length, bool null_reply,
               std::int32_t capacity, bool null_length) {
  GuardedBuffer reply(kCapacity);
  GuardedBuffer reply_length(sizeof(std::int32_t));
  std::memcpy(reply_length.data(), &capacity, sizeof(capacity));
  const std::int64_t started = now_ms();
  const std::int32_t result =
      library.exec(handle, command, length, null_reply ? nullptr : reply.data(),
                   null_length ? nullptr : reinterpret_cast<std::int32_t *>(reply_length.data()));
  std::int32_t after = 0;
  std::memcpy(&after, reply_length.data(), sizeof(after));
  const bool length_kept = after == capacity;
  reply_length.refill(0, sizeof(after)); // only the guards are left to compare
  report(name, result, started, reply.untouched() && reply_length.untouched() && length_kept);
}

void version_case(const KorvelExports &library, MDB_IF_HANDLE handle, const char *name,
                  bool null_text, std::int32_t capacity) {
  GuardedBuffer text(kCapacity);
  const std::int64_t started = now_ms();
  const std::int32_t result = library.version(
      handle, null_text ? nullptr : reinterpret_cast<char *>(text.data()), capacity);
  report(name, result, started, text.untouched());
}

void open_case(const KorvelExports &library, const char *name, const char *port, bool null_out) {
  GuardedBuffer handle_out(sizeof(MDB_IF_HANDLE));
  const std::int64_t started = now_ms();
  const std::int32_t result =
      library.open(port, null_out ? nullptr : reinterpret_cast<MDB_IF_HANDLE *>(handle_out.data()));
  bool clean = handle_out.untouched();
  if (!null_out) {
    // The out-handle must hold the invalid handle, and nothing around it may change.
    MDB_IF_HANDLE written = nullptr;
    std::memcpy(&written, handle_out.data(), sizeof(written));
    handle_out.refill(0, sizeof(written));
    clean = written == MDB_IF_INVALID_HANDLE && handle_out.untouched();
  }
  report(name, result, started, clean);
}

void run_cases(const KorvelExports &library, const char *port, MDB_IF_HANDLE handle) {
  const std::uint8_t one[] = {0x0A};
  exec_case(library, handle, "exec-negative-length", one, -1, false, kCapacity, false);
  exec_case(library, handle, "exec-most-negative-length", one, INT32_MIN, false, kCapacity, false);
  exec_case(library, handle, "exec-null-command", nullptr, 1, false, kCapacity, false);
  exec_case(library, handle, "exec-null-reply-length", one, 1, false, kCapacity, true);
  exec_case(library, handle, "exec-negative-capacity", one, 1, false, -1, false);
  exec_case(library, handle, "exec-null-reply", one, 1, true, 1, false);
  version_case(library, handle, "version-negative-capacity", false, -1);
  version_case(library, handle, "version-null-text", true, 1);
  open_case(library, "open-null-name", nullptr, false);
  open_case(library, "open-null-handle-out", port, true);

  // A handle that is not current is rejected before the arguments are looked at.
  const HANDLE foreign = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (MDB_IF_HANDLE other : {static_cast<MDB_IF_HANDLE>(nullptr), MDB_IF_INVALID_HANDLE,
                              static_cast<MDB_IF_HANDLE>(foreign)}) {
    exec_case(library, other, "exec-not-current", nullptr, -1, true, 1, false);
    version_case(library, other, "version-not-current", true, -1);
  }
  DWORD flags = 0;
  report("foreign-handle-alive", GetHandleInformation(foreign, &flags) != 0 ? 0 : 1, now_ms(),
         true);
  CloseHandle(foreign);

  const std::int64_t started = now_ms();
  report("scan-null", library.scan(nullptr), started, true);
}

} // namespace

int main(int argc, char **argv) {
  KorvelExports library;
  if (argc != 2 || !load_exports("korvel_dll.dll", library).empty()) {
    std::fprintf(stderr, "usage: refusal_host PORT (korvel_dll.dll beside it)\n");
    return kExitLoadFailed;
  }
  MDB_IF_HANDLE handle = nullptr;
  std::int64_t started = now_ms();
  report("open", library.open(argv[1], &handle), started, true);
  run_cases(library, argv[1], handle);
  started = now_ms();
  report("reset-still-current", library.line_reset(handle), started, true);
  started = now_ms();
  report("close", library.close(handle), started, true);
  return 0;
}
