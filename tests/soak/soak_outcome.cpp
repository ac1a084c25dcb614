#include "soak_outcome.h"

#include "korvel_dll.h"
#include "result_codes.h"

#include <algorithm>

namespace soak {
namespace {

using korvel::result_for_command_status;
using korvel::result_for_status;

bool untouched_from(const CallRecord &call, std::size_t from) {
  return std::all_of(call.buffer.begin() + static_cast<std::ptrdiff_t>(from), call.buffer.end(),
                     [](std::uint8_t byte) { return byte == kBufferFill; });
}

bool starts_with(const Bytes &buffer, const std::uint8_t *bytes, std::size_t count) {
  return std::equal(bytes, bytes + count, buffer.begin());
}

bool exec_accepted(const CallRecord &call, const Bytes &payload) {
  const std::size_t delivered =
      std::min(payload.size(), static_cast<std::size_t>(call.transaction.capacity));
  const std::int32_t expected =
      delivered == 1 ? result_for_command_status(payload[0]) : std::int32_t{MDB_IF_OK};
  return call.result == expected && call.length_after == static_cast<std::int32_t>(delivered) &&
         starts_with(call.buffer, payload.data(), delivered) && untouched_from(call, delivered);
}

bool version_accepted(const CallRecord &call, const Bytes &payload) {
  const std::size_t delivered =
      std::min(payload.size(), static_cast<std::size_t>(call.transaction.capacity));
  if (delivered == 0) {
    return call.result == MDB_IF_LINK_ERROR && untouched_from(call, 0);
  }
  if (payload[0] != korvel::adapter::kStatusOk) {
    return call.result == result_for_status(payload[0]) && untouched_from(call, delivered);
  }
  // The text moves down over the status byte and ends in a terminator.
  return call.result == MDB_IF_OK && starts_with(call.buffer, payload.data() + 1, delivered - 1) &&
         call.buffer[delivered - 1] == 0 && untouched_from(call, delivered);
}

} // namespace

bool accepted_reply(const CallRecord &call, const Answer &answer) {
  if (answer.silent || answer.corrupt_crc) {
    return false;
  }
  switch (call.transaction.call) {
  case Call::Exec:
    return exec_accepted(call, answer.payload);
  case Call::Version:
    return version_accepted(call, answer.payload);
  case Call::Reset:
    return call.result ==
           (answer.payload.empty() ? MDB_IF_LINK_ERROR : result_for_status(answer.payload[0]));
  }
  return false;
}

bool failed_with(const CallRecord &call, std::int32_t code) {
  const bool length_kept =
      call.transaction.call != Call::Exec || call.length_after == call.transaction.capacity;
  return call.result == code && length_kept && untouched_from(call, 0);
}

} // namespace soak
