// MDB_IF_OpenInterface and MDB_IF_CloseInterface.
#include "current_interface.h"
#include "korvel_dll.h"

#include <algorithm>
#include <iterator>

namespace {

using korvel::port::Handle;

bool is_open_port(Handle handle) {
  return handle != nullptr && handle != korvel::port::invalid_handle();
}

// Handles the host was given and that an open has since superseded. They
// must keep failing the handle check, but their ports are closed, so the
// platform may hand their values out again; a new handle is moved off them.
// Only the most recent ones are remembered.
struct SupersededHandles {
  Handle values[korvel::port::kMaxAvoidedHandles];
  int next;
};
SupersededHandles g_superseded = {};

void remember_superseded(Handle handle) {
  g_superseded.values[g_superseded.next] = handle;
  g_superseded.next = (g_superseded.next + 1) % korvel::port::kMaxAvoidedHandles;
}

bool was_superseded(Handle handle) {
  return handle != nullptr &&
         std::ranges::find(g_superseded.values, handle) != std::end(g_superseded.values);
}

// A superseded interface would otherwise stay open, and locked against every
// other opener, for the life of the process while every export rejects it.
// It is closed before the new open so that the same port can be opened again.
Handle open_replacing(const char *path) {
  const Handle previous = korvel::current_interface();
  if (is_open_port(previous)) {
    korvel::port::close_port(previous);
    remember_superseded(previous);
  }
  const Handle handle = korvel::port::open_port(path);
  if (is_open_port(handle) && was_superseded(handle)) {
    return korvel::port::renumber_handle(handle, was_superseded);
  }
  return handle;
}

} // namespace

extern "C" int32_t MDB_IF_OpenInterface(const char *portName, MDB_IF_HANDLE *handleOut) {
  char path[korvel::port::kDevicePathSize];
  if (handleOut == nullptr ||
      !korvel::port::make_device_path(portName, korvel::port::Role::Interface, path)) {
    if (handleOut != nullptr) {
      *handleOut = MDB_IF_INVALID_HANDLE;
    }
    return MDB_IF_OPEN_OR_CRC_ERROR;
  }
  const Handle handle = open_replacing(path);
  *handleOut = handle;
  korvel::set_current_interface(handle);
  if (handle == korvel::port::invalid_handle()) {
    return MDB_IF_OPEN_OR_CRC_ERROR;
  }
  korvel::port::configure_port(handle, korvel::port::Role::Interface);
  return MDB_IF_OK;
}

extern "C" int32_t MDB_IF_CloseInterface(MDB_IF_HANDLE handle) {
  if (!korvel::is_current_interface(handle)) {
    return MDB_IF_BAD_HANDLE;
  }
  korvel::port::close_port(handle);
  korvel::set_current_interface(nullptr);
  return MDB_IF_OK;
}
