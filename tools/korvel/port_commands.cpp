#include "port_commands.h"

#include "adapter_commands.h"
#include "call_report.h"
#include "interrupt.h"
#include "open_failure.h"
#include "results.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace korvel::cli {
namespace {

// Room for every byte the library can deliver.
constexpr std::int32_t kReplyCapacity = MDB_IF_MAX_REPLY_PAYLOAD;

// Opens the port, runs the transaction and closes the port again. The exit
// status tells of the first call that failed. Should korvel be stopped, the
// interface is closed after the call in progress.
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
  hold_interface(handle);
  stop_if_asked();
  const std::int32_t result = transaction(handle);
  stop_if_asked();
  release_interface();
  const std::int32_t closed = report_call("MDB_IF_CloseInterface", invocation.verbose,
                                          [&] { return MDB_IF_CloseInterface(handle); });
  return exit_status_for(result != MDB_IF_OK ? result : closed);
}

void print_reply(const tools::Bytes &reply, std::int32_t length) {
  const auto delivered = static_cast<std::size_t>(length);
  std::printf("reply (%s): %s\n", tools::byte_count(delivered).c_str(),
              tools::format_hex(reply.data(), delivered).c_str());
}

// Result 5 from the version read means its reply did not start with a status
// byte the call knows, or that nothing could be sent. The same command sent
// as an exec shows the reply as it is, and so which of these it was.
void explain_version_reply(MDB_IF_HANDLE handle, bool verbose) {
  tools::Bytes reply(kReplyCapacity);
  std::int32_t length = kReplyCapacity;
  const std::uint8_t command = adapter::kReadVersionCommand;
  const std::int32_t result = report_call("MDB_IF_ExecCommand(01)", verbose, [&] {
    return MDB_IF_ExecCommand(handle, &command, 1, reply.data(), &length);
  });
  if (length == kReplyCapacity) {
    return; // no valid reply, so nothing to explain
  }
  print_reply(reply, length);
  const std::size_t identification = std::strlen(adapter::kIdentification);
  if (result == MDB_IF_OK && static_cast<std::size_t>(length) > identification &&
      std::memcmp(reply.data(), adapter::kIdentification, identification) == 0) {
    std::printf("the reply has no status byte: this adapter answers the identification, as "
                "korvel-sim --identify does (\"%.*s\"); a scan finds such an adapter, but its "
                "version cannot be read\n",
                static_cast<int>(length), reinterpret_cast<const char *>(reply.data()));
  } else if (length == 0) {
    std::printf("the reply is empty, so it has no status byte\n");
  } else {
    std::printf("the reply starts with 0x%02X, which is no status byte (0x00, 0xFC, 0xFD, 0xFE "
                "or 0xFF)\n",
                reply[0]);
  }
}

} // namespace

int run_version(const Invocation &invocation) {
  return with_interface(invocation, [&](MDB_IF_HANDLE handle) {
    std::vector<char> text(kReplyCapacity, '\0');
    const std::int32_t result = report_call("MDB_IF_GetVersion", invocation.verbose, [&] {
      return MDB_IF_GetVersion(handle, text.data(), kReplyCapacity);
    });
    if (result == MDB_IF_OK) {
      std::printf("version: %s\n", text.data());
    } else if (result == MDB_IF_LINK_ERROR) {
      stop_if_asked();
      explain_version_reply(handle, invocation.verbose);
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
      print_reply(reply, length);
    }
    if (result != MDB_IF_OK && length == 1) {
      std::printf("the adapter's status: 0x%02X\n", reply[0]);
    }
    return result;
  });
}

} // namespace korvel::cli
