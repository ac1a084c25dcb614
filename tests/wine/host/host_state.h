// What the steps of one run share.
#pragma once

#include "exports.h"

#include <vector>

#include <windows.h>

struct HostState {
  KorvelExports library;
  // Every handle an open handed out, in order; the step argument "#1" is the
  // first.
  std::vector<MDB_IF_HANDLE> opened;
  // A live handle of the host's own (an event) that the library never saw.
  HANDLE foreign = nullptr;
  // The named pipe of pipe-listen, and its pending wait for a client.
  HANDLE pipe = nullptr;
  OVERLAPPED pipe_wait{};
  bool pipe_client_came_first = false;
};
