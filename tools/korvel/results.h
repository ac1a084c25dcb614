// The library's result codes in words, and the tool's exit statuses: the one
// place the tool keeps either.
#pragma once

#include "korvel_dll.h"

#include <cstdint>

namespace korvel::cli {

constexpr int kExitSuccess = 0;
// The call worked but found nothing: no adapter answered the scan, or a
// decoded capture holds no frame or a frame with a bad CRC.
constexpr int kExitNothingFound = 1;
constexpr int kExitUsage = 2;
// A library call that failed with result code N ends the program with this
// base plus N.
constexpr int kExitResultBase = 10;

// Every code the library returns (3 is never used).
constexpr std::int32_t kResultCodes[] = {
    MDB_IF_OK,         MDB_IF_BAD_HANDLE,    MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_TIMEOUT,
    MDB_IF_LINK_ERROR, MDB_IF_ADAPTER_ERROR, MDB_IF_ADAPTER_STATUS_FE};

const char *result_meaning(std::int32_t result);
int exit_status_for(std::int32_t result);

} // namespace korvel::cli
