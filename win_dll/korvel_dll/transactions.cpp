// MDB_IF_ExecCommand, MDB_IF_LineReset and MDB_IF_GetVersion.
#include "current_interface.h"
#include "exchange.h"
#include "korvel_dll.h"
#include "link/frame.h"
#include "link/frame_assembler.h"
#include "port/export_lock.h"
#include "result_codes.h"

#include <cstring>

namespace {

using korvel::link::FittingCommand;
using korvel::link::LinkStatus;
using korvel::port::Handle;

static_assert(MDB_IF_MAX_COMMAND_ANY_BYTES == korvel::link::kMaxCommandAnyBytes);
static_assert(MDB_IF_MAX_COMMAND_UNSTUFFED == korvel::link::kMaxCommandUnstuffed);
static_assert(MDB_IF_MAX_REPLY_PAYLOAD ==
              korvel::link::kAccumulatorSize - korvel::link::kFrameOverhead);

// An interface's receive queue is purged once more before each exchange; the
// outcome of that first purge is not looked at.
LinkStatus interface_exchange(Handle handle, const FittingCommand &command, std::uint8_t *reply,
                              std::int32_t *reply_length) {
  (void)korvel::port::purge_receive(handle);
  return korvel::exchange(handle, command, reply, reply_length);
}

// Host arguments that would make the library write memory it was not given
// are refused before the port is touched (the command itself is checked by
// check_command).
bool reply_arguments_valid(const std::uint8_t *reply, const std::int32_t *reply_length) {
  return reply_length != nullptr && *reply_length >= 0 && (reply != nullptr || *reply_length == 0);
}

std::int32_t evaluate_command_reply(const std::uint8_t *reply, std::int32_t delivered) {
  // Only a reply of exactly one byte is a status; anything else, even an
  // empty reply, is the adapter's answer to the command.
  return delivered == 1 ? korvel::result_for_command_status(reply[0]) : MDB_IF_OK;
}

// One exchange without retries, for the commands whose reply starts with a
// status byte. Returns the result code for everything but a valid reply with
// status 0x00; then returns MDB_IF_OK and leaves the delivered length in
// *delivered.
std::int32_t status_exchange(Handle handle, const std::uint8_t &command, std::uint8_t *reply,
                             std::int32_t *delivered) {
  const LinkStatus status = interface_exchange(handle, FittingCommand{command}, reply, delivered);
  if (status != LinkStatus::Ok) {
    return korvel::result_for(status);
  }
  // A valid reply without a single byte carries no status to read (and a
  // host that passed no buffer got none delivered).
  if (*delivered < 1 || reply == nullptr) {
    return MDB_IF_LINK_ERROR;
  }
  return korvel::result_for_status(reply[0]);
}

} // namespace

extern "C" int32_t MDB_IF_ExecCommand(MDB_IF_HANDLE handle, const uint8_t *command,
                                      int32_t commandLength, uint8_t *reply, int32_t *replyLength) {
  const korvel::port::ExportLock lock;
  if (!korvel::is_current_interface(handle)) {
    return MDB_IF_BAD_HANDLE;
  }
  const auto fitting = korvel::link::check_command(command, commandLength);
  if (!fitting || !reply_arguments_valid(reply, replyLength)) {
    return MDB_IF_LINK_ERROR;
  }
  LinkStatus last_status = LinkStatus::NotReceived;
  for (int attempt = 0; attempt < korvel::kCommandAttempts; ++attempt) {
    last_status = interface_exchange(handle, *fitting, reply, replyLength);
    // Adapter-reported errors come in valid replies and are never retried.
    if (last_status == LinkStatus::Ok) {
      return evaluate_command_reply(reply, *replyLength);
    }
    korvel::port::sleep_ms(korvel::kRetryDelayMs);
  }
  return korvel::result_for(last_status);
}

extern "C" int32_t MDB_IF_LineReset(MDB_IF_HANDLE handle) {
  const korvel::port::ExportLock lock;
  if (!korvel::is_current_interface(handle)) {
    return MDB_IF_BAD_HANDLE;
  }
  std::uint8_t status = 0;
  std::int32_t delivered = sizeof(status);
  return status_exchange(handle, korvel::adapter::kLineResetCommand, &status, &delivered);
}

extern "C" int32_t MDB_IF_GetVersion(MDB_IF_HANDLE handle, char *text, int32_t capacity) {
  const korvel::port::ExportLock lock;
  if (!korvel::is_current_interface(handle)) {
    return MDB_IF_BAD_HANDLE;
  }
  if (capacity < 0 || (text == nullptr && capacity != 0)) {
    return MDB_IF_LINK_ERROR;
  }
  auto *reply = reinterpret_cast<std::uint8_t *>(text);
  std::int32_t delivered = capacity;
  const std::int32_t result =
      status_exchange(handle, korvel::adapter::kReadVersionCommand, reply, &delivered);
  if (result != MDB_IF_OK) {
    return result;
  }
  // The status byte gives way to the text, which is terminated inside the
  // delivered bytes.
  std::memmove(text, text + 1, static_cast<std::size_t>(delivered - 1));
  text[delivered - 1] = '\0';
  return MDB_IF_OK;
}
