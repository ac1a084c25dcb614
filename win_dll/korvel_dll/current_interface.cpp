#include "current_interface.h"

namespace korvel {
namespace {
port::Handle g_current_interface = nullptr;
}

port::Handle current_interface() { return g_current_interface; }

void set_current_interface(port::Handle handle) { g_current_interface = handle; }

bool is_current_interface(port::Handle handle) {
  return handle != nullptr && handle == g_current_interface;
}

} // namespace korvel
