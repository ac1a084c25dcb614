#include "port_commands.h"

#include "open_failure.h"
#include "results.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Room for every byte the library can deliver.
constexpr std::int32_t kReplyCapacity = MDB_IF_MAX_REPLY_PAYLOAD;

// Makes one library call and prints its result.
std::int32_t report_call(const std::string &call, bool verbose,
                         const std::function<std::int32_t()> &make_call) {
  const auto started = Clock::now();
  const std::int32_t result = make_call();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  std::printf("%s -> %d (%s)", call.c_str(), static_cast<int>(result), result_meaning(result));
  if (verbose) {
    std::printf(" in %lld ms", static_cast<long long>(ms));
  }
  std::printf("\n");
  return result;
}

// Opens the port, runs the transaction and closes the port again. The exit
// status tells of the first call that failed.
int with_interface(const Invocation &invocation,
                   const std::function<std::int32_t(MDB_IF_HANDLE)> &transaction) {
  MDB_IF_HANDLE handle = nullptr;
  SystemError open_error = 0;
  const std::int32_t opened =
      report_call("MDB_IF_OpenInterface(" + invocation.port + ")", invocation.verbose, [&] {
        clear_system_error();
        const std::int32_t result = MDB_IF_OpenInterface(invocation.port.c_str(), &handle);
        open_error = last_system_error();
        return result;
      });
  if (opened == MDB_IF_OPEN_OR_CRC_ERROR) {
    print_open_failure(invocation.port, open_error);
  }
  if (opened != MDB_IF_OK) {
    return exit_status_for(opened);
  }
  const std::int32_t result = transaction(handle);
  const std::int32_t closed = report_call("MDB_IF_CloseInterface", invocation.verbose,
                                          [&] { return MDB_IF_CloseInterface(handle); });
  return exit_status_for(result != MDB_IF_OK ? result : closed);
}

} // namespace

int run_scan(const Invocation &invocation) {
  // The library leaves the name as it was when no port is listed at all.
  char name[MDB_IF_PORT_NAME_BUFFER] = {};
  const std::int32_t result = report_call("MDB_IF_ScanInterface", invocation.verbose,
                                          [&] { return MDB_IF_ScanInterface(name); });
  if (result != MDB_IF_OK) {
    return exit_status_for(result);
  }
  if (name[0] == '\0') {
    std::printf("no adapter answered\n");
    return kExitNothingFound;
  }
  std::printf("adapter on %s\n", name);
  return kExitSuccess;
}

int run_version(const Invocation &invocation) {
  return with_interface(invocation, [&](MDB_IF_HANDLE handle) {
    std::vector<char> text(kReplyCapacity, '\0');
    const std::int32_t result = report_call("MDB_IF_GetVersion", invocation.verbose, [&] {
      return MDB_IF_GetVersion(handle, text.data(), kReplyCapacity);
    });
    if (result == MDB_IF_OK) {
      std::printf("version: %s\n", text.data());
    }
    return result;
  });
}

int run_reset(const Invocation &invocation) {
  return with_interface(invocation, [&](MDB_IF_HANDLE handle) {
    return report_call("MDB_IF_LineReset", invocation.verbose,
                       [&] { return MDB_IF_LineReset(handle); });
  });
}

int run_exec(const Invocation &invocation) {
  return with_interface(invocation, [&](MDB_IF_HANDLE handle) {
    tools::Bytes reply(kReplyCapacity);
    std::int32_t length = kReplyCapacity;
    const auto count = static_cast<std::int32_t>(invocation.bytes.size());
    const std::int32_t result = report_call("MDB_IF_ExecCommand", invocation.verbose, [&] {
      return MDB_IF_ExecCommand(handle, invocation.bytes.data(), count, reply.data(), &length);
    });
    // The length changes only when a valid reply came, also one that carries
    // an error status.
    if (result == MDB_IF_OK || length != kReplyCapacity) {
      const auto delivered = static_cast<std::size_t>(length);
      std::printf("reply (%s): %s\n", tools::byte_count(delivered).c_str(),
                  tools::format_hex(reply.data(), delivered).c_str());
    }
    return result;
  });
}

} // namespace korvel::cli
