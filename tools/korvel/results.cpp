#include "results.h"

namespace korvel::cli {

const char *result_meaning(std::int32_t result) {
  switch (result) {
  case MDB_IF_OK:
    return "success";
  case MDB_IF_BAD_HANDLE:
    return "not the handle of the current interface";
  case MDB_IF_OPEN_OR_CRC_ERROR:
    return "the port could not be opened, or a reply failed its CRC check (or status 0xFD)";
  case MDB_IF_TIMEOUT:
    return "no reply in time (or status 0xFC)";
  case MDB_IF_LINK_ERROR:
    return "sending failed, the reply's first byte is no status byte the call knows, or an "
           "argument was refused";
  case MDB_IF_ADAPTER_ERROR:
    return "the adapter reported an error: status 0xFF, or to exec a one-byte status other than "
           "0x00, 0xFC, 0xFD and 0xFE";
  case MDB_IF_ADAPTER_STATUS_FE:
    return "the adapter reported status 0xFE";
  default:
    return "not a result code of the library";
  }
}

int exit_status_for(std::int32_t result) {
  return result == MDB_IF_OK ? kExitSuccess : kExitResultBase + result;
}

} // namespace korvel::cli
