// How link outcomes and adapter status bytes become result codes.
#pragma once

#include "adapter_commands.h"
#include "korvel_dll.h"
#include "link/link_status.h"

#include <cstdint>

namespace korvel {

// The outcome of an exchange; a valid reply is MDB_IF_OK here, and what it
// says is read from its bytes.
constexpr std::int32_t result_for(link::LinkStatus status) {
  switch (status) {
  case link::LinkStatus::Ok:
    return MDB_IF_OK;
  case link::LinkStatus::Timeout:
    return MDB_IF_TIMEOUT;
  case link::LinkStatus::CrcError:
    return MDB_IF_OPEN_OR_CRC_ERROR;
  case link::LinkStatus::NotReceived:
    break;
  }
  return MDB_IF_LINK_ERROR;
}

// The status byte of a line reset or version reply: unknown values are a
// link error, only 0xFF is an adapter error.
constexpr std::int32_t result_for_status(std::uint8_t status) {
  switch (status) {
  case adapter::kStatusOk:
    return MDB_IF_OK;
  case adapter::kStatusTimeout:
    return MDB_IF_TIMEOUT;
  case adapter::kStatusCrcError:
    return MDB_IF_OPEN_OR_CRC_ERROR;
  case adapter::kStatusFE:
    return MDB_IF_ADAPTER_STATUS_FE;
  case adapter::kStatusError:
    return MDB_IF_ADAPTER_ERROR;
  default:
    return MDB_IF_LINK_ERROR;
  }
}

// A one-byte reply to a host command: every unknown value is an adapter
// error.
constexpr std::int32_t result_for_command_status(std::uint8_t status) {
  const std::int32_t result = result_for_status(status);
  return result == MDB_IF_LINK_ERROR ? MDB_IF_ADAPTER_ERROR : result;
}

} // namespace korvel
