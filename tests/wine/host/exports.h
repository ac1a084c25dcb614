// The six library functions, resolved at run time.
#pragma once

#include "korvel_dll.h"

#include <string>

struct KorvelExports {
  decltype(&MDB_IF_ScanInterface) scan = nullptr;
  decltype(&MDB_IF_OpenInterface) open = nullptr;
  decltype(&MDB_IF_CloseInterface) close = nullptr;
  decltype(&MDB_IF_ExecCommand) exec = nullptr;
  decltype(&MDB_IF_LineReset) line_reset = nullptr;
  decltype(&MDB_IF_GetVersion) version = nullptr;
};

// Loads the library and resolves every function both by name and by its
// ordinal; the two must give the same address. Returns what went wrong, or
// an empty string.
std::string load_exports(const char *library, KorvelExports &exports);
