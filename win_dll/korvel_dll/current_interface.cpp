#include "current_interface.h"

#include <algorithm>
#include <iterator>

namespace korvel {
namespace {

struct CurrentInterface {
  port::Handle handle;
  // The process that opened it.
  port::ProcessId owner;
};
CurrentInterface g_current = {};

struct RetiredHandles {
  port::Handle values[port::kMaxAvoidedHandles];
  int next;
};
RetiredHandles g_retired = {};

} // namespace

port::Handle current_interface() {
  if (g_current.handle != nullptr && g_current.owner != port::current_process()) {
    // Inherited through fork: the descriptor shares its open file, and with
    // it the exclusive flag, the queues and the lock, with the parent's live
    // interface. Closing it the library's way would clear the parent's flag
    // and discard its data, so it is left exactly as it is.
    retire_handle(g_current.handle);
    g_current = {};
  }
  return g_current.handle;
}

void set_current_interface(port::Handle handle) { g_current = {handle, port::current_process()}; }

bool is_current_interface(port::Handle handle) {
  return handle != nullptr && handle == current_interface();
}

void retire_handle(port::Handle handle) {
  if (!is_open_port(handle)) {
    return;
  }
  g_retired.values[g_retired.next] = handle;
  g_retired.next = (g_retired.next + 1) % port::kMaxAvoidedHandles;
}

bool was_retired(port::Handle handle) {
  return handle != nullptr &&
         std::ranges::find(g_retired.values, handle) != std::end(g_retired.values);
}

bool is_open_port(port::Handle handle) {
  return handle != nullptr && handle != port::invalid_handle();
}

} // namespace korvel
