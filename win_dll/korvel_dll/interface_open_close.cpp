// MDB_IF_OpenInterface and MDB_IF_CloseInterface.
#include "current_interface.h"
#include "korvel_dll.h"
#include "port/export_lock.h"

namespace {

using korvel::port::Handle;
using korvel::port::OpenFailure;

struct Replacement {
  Handle handle;
  // The path is not a serial port: nothing was closed or changed.
  bool refused;
  // Why the open failed, when it did: saved at the failing step, because
  // closing the superseded port afterwards may overwrite the platform's own
  // last error.
  korvel::port::SystemError error;
};

// The new port is opened before the superseded interface is closed, so that
// a path that is not a serial port leaves the current interface as it was. A
// superseded interface is always closed: it would otherwise stay open, and
// locked against every other opener, while every export rejects it. When the
// new open failed because the path is the interface's own port, the open is
// tried once more after the close.
Replacement open_replacing(const char *path) {
  OpenFailure failure;
  Handle handle = korvel::port::open_port(path, &failure);
  if (handle == korvel::port::invalid_handle() && failure.kind == OpenFailure::Kind::NotAPort) {
    return {handle, true, failure.error};
  }
  const Handle previous = korvel::current_interface();
  if (korvel::is_open_port(previous)) {
    korvel::port::close_port(previous);
    korvel::retire_handle(previous);
    if (handle == korvel::port::invalid_handle()) {
      handle = korvel::port::open_port(path, &failure);
    }
  }
  if (korvel::is_open_port(handle) && korvel::was_retired(handle)) {
    handle = korvel::port::renumber_handle(handle, korvel::was_retired, &failure);
  }
  return {handle, false, failure.error};
}

// A refused call: the handle out (when there is one) holds the invalid value,
// and the reason is where the platform keeps its last error.
std::int32_t open_refused(MDB_IF_HANDLE *handleOut, korvel::port::SystemError error) {
  if (handleOut != nullptr) {
    *handleOut = MDB_IF_INVALID_HANDLE;
  }
  korvel::port::leave_system_error(error);
  return MDB_IF_OPEN_OR_CRC_ERROR;
}

} // namespace

extern "C" int32_t MDB_IF_OpenInterface(const char *portName, MDB_IF_HANDLE *handleOut) {
  const korvel::port::ExportLock lock;
  char path[korvel::port::kDevicePathSize];
  if (handleOut == nullptr ||
      !korvel::port::make_device_path(portName, korvel::port::Role::Interface, path)) {
    return open_refused(handleOut, korvel::port::refused_name_error());
  }
  const Replacement opened = open_replacing(path);
  if (opened.refused) {
    return open_refused(handleOut, opened.error);
  }
  *handleOut = opened.handle;
  korvel::set_current_interface(opened.handle);
  if (opened.handle == korvel::port::invalid_handle()) {
    korvel::port::leave_system_error(opened.error);
    return MDB_IF_OPEN_OR_CRC_ERROR;
  }
  korvel::port::configure_port(opened.handle, korvel::port::Role::Interface);
  return MDB_IF_OK;
}

extern "C" int32_t MDB_IF_CloseInterface(MDB_IF_HANDLE handle) {
  const korvel::port::ExportLock lock;
  if (!korvel::is_current_interface(handle)) {
    return MDB_IF_BAD_HANDLE;
  }
  korvel::port::close_port(handle);
  // The invalid value a failed open left names no port to keep off.
  korvel::retire_handle(handle);
  korvel::set_current_interface(nullptr);
  return MDB_IF_OK;
}

void korvel::close_current_interface() {
  const Handle handle = current_interface();
  if (is_open_port(handle)) {
    korvel::port::close_port(handle);
  }
  set_current_interface(nullptr);
}
