// How link outcomes and adapter status bytes become result codes.
#pragma once

#include "korvel_dll.h"
#include "link/link_status.h"

#include <cstdint>

namespace korvel {

// Status bytes the adapter answers with; a one-byte reply is read as one.
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusTimeout = 0xFC;
constexpr std::uint8_t kStatusCrcError = 0xFD;
constexpr std::uint8_t kStatusFE = 0xFE;
constexpr std::uint8_t kStatusError = 0xFF;

// A receive that did not produce a valid reply.
constexpr std::int32_t result_for_link_failure(std::uint8_t link_status) {
  switch (link_status) {
  case link::kLinkTimeout:
    return MDB_IF_TIMEOUT;
  case link::kLinkCrcError:
    return MDB_IF_OPEN_OR_CRC_ERROR;
  default:
    return MDB_IF_LINK_ERROR;
  }
}

// The status byte of a line reset or version reply: unknown values are a
// link error, only 0xFF is an adapter error.
constexpr std::int32_t result_for_status(std::uint8_t status) {
  switch (status) {
  case kStatusOk:
    return MDB_IF_OK;
  case kStatusTimeout:
    return MDB_IF_TIMEOUT;
  case kStatusCrcError:
    return MDB_IF_OPEN_OR_CRC_ERROR;
  case kStatusFE:
    return MDB_IF_ADAPTER_STATUS_FE;
  case kStatusError:
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
