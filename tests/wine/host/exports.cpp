#include "exports.h"

#include <windows.h>

namespace {

// Casting through the generic function pointer type keeps -Wcast-function-type
// quiet; the real type is the one the header declares.
template <typename Function>
std::string resolve(HMODULE module, const char *name, WORD ordinal, Function &out) {
  const FARPROC by_name = GetProcAddress(module, name);
  const FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (by_name == nullptr) {
    return std::string("no export named ") + name;
  }
  if (by_ordinal != by_name) {
    return std::string(name) + " is not the export at ordinal " + std::to_string(ordinal);
  }
  out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(by_name));
  return {};
}

} // namespace

std::string load_exports(const char *library, KorvelExports &exports) {
  const HMODULE module = LoadLibraryA(library);
  if (module == nullptr) {
    return std::string("LoadLibraryA failed with error ") + std::to_string(GetLastError());
  }
  const std::string errors[] = {
      resolve(module, "MDB_IF_ScanInterface", 1, exports.scan),
      resolve(module, "MDB_IF_OpenInterface", 2, exports.open),
      resolve(module, "MDB_IF_CloseInterface", 3, exports.close),
      resolve(module, "MDB_IF_ExecCommand", 4, exports.exec),
      resolve(module, "MDB_IF_LineReset", 5, exports.line_reset),
      resolve(module, "MDB_IF_GetVersion", 6, exports.version),
  };
  std::string all;
  for (const std::string &error : errors) {
    if (!error.empty()) {
      all += error + "; ";
    }
  }
  return all;
}
