// The library's result codes in words, and the tool's exit statuses: the one
// place the tool keeps either.
#pragma once

#include "korvel_dll.h"

#include <cstdint>

namespace korvel::cli {

constexpr int kExitSuccess = 0;
// The call worked but found nothing: no adapter answered the scan, or the
// scan probed no port; a decoded capture holds no frame or a frame with a
// bad CRC; the port list could not be read.
constexpr int kExitNothingFound = 1;
constexpr int kExitUsage = 2;
// A library call that failed with result code N ends the program with this
// base plus N.
constexpr int kExitResultBase = 10;
// Stopped by a signal, after closing the interface: 128 plus the signal's
// number, as shells report a program the signal ended.
constexpr int kExitSignalBase = 128;
constexpr int kExitInterrupted = kExitSignalBase + 2; // SIGINT, Ctrl-C
constexpr int kExitTerminated = kExitSignalBase + 15; // SIGTERM
constexpr int kExitHungUp = kExitSignalBase + 1;      // SIGHUP

// Every code the library returns (3 is never used).
constexpr std::int32_t kResultCodes[] = {
    MDB_IF_OK,         MDB_IF_BAD_HANDLE,    MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_TIMEOUT,
    MDB_IF_LINK_ERROR, MDB_IF_ADAPTER_ERROR, MDB_IF_ADAPTER_STATUS_FE};

const char *result_meaning(std::int32_t result);
int exit_status_for(std::int32_t result);

} // namespace korvel::cli
