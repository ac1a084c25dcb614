#include "open_failure.h"

#include <cstdio>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include "port/serial_device_sysfs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#endif

namespace korvel::cli {
namespace {

constexpr const char *kNoSuchPort = "no such port";
constexpr const char *kNotAPort = "not a serial port";
constexpr const char *kRefusedName = "not a port name the library accepts";
constexpr const char *kNoReason = "the library gave no reason";
// The library adds the device folder itself, so a name given as a Linux path
// names nothing.
constexpr char kDevicePrefix[] = "/dev/";

#ifdef _WIN32

std::string system_text(SystemError error) {
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, sizeof(text), nullptr);
  // The message ends in a full stop and a line break, unfit for mid-line.
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == '.' || text[length - 1] == ' ')) {
    --length;
  }
  return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

std::string open_failure_text(const std::string & /*port*/, SystemError error) {
  switch (error) {
  case ERROR_SUCCESS:
    return kNoReason;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return kNoSuchPort;
  case ERROR_ACCESS_DENIED:
    // Windows gives the same code for a port held elsewhere and a forbidden one.
    return "in use by another program, or no permission";
  case ERROR_INVALID_NAME:
    return kRefusedName;
  case ERROR_NOT_SUPPORTED:
    return kNotAPort;
  default:
    return system_text(error);
  }
}

#else

// The library refuses the system console as busy; it is found the way the
// library finds it, by the device number of the node the name leads to.
bool is_system_console(const std::string &port) {
  const std::string path = kDevicePrefix + port;
  struct stat node {};
  return korvel::port::stat_following_links(AT_FDCWD, path.c_str(), &node) == 0 &&
         korvel::port::classify_device(node, korvel::port::kSystemDeviceSources) ==
             korvel::port::DeviceKind::SystemConsole;
}

std::string open_failure_text(const std::string &port, SystemError error) {
  switch (error) {
  case 0:
    return kNoReason;
  case ENOENT:
    return kNoSuchPort;
  case EACCES:
  case EPERM:
    return "permission denied; the user must be allowed to use the device (on Debian, a member "
           "of group dialout)";
  case EBUSY:
    return is_system_console(port) ? "in use as the system console" : "held by another program";
  case ENOSYS:
    return "the library opens ports only where /proc is mounted";
  case ENOTTY:
    return kNotAPort;
  case EINVAL:
    return kRefusedName;
  default:
    return std::strerror(error);
  }
}

#endif

} // namespace

#ifdef _WIN32
void clear_system_error() { SetLastError(ERROR_SUCCESS); }
SystemError last_system_error() { return GetLastError(); }
#else
void clear_system_error() { errno = 0; }
SystemError last_system_error() { return errno; }
#endif

void print_open_failure(const std::string &port, SystemError error) {
  std::printf("could not open %s: %s\n", port.c_str(), open_failure_text(port, error).c_str());
  const std::string_view prefix = kDevicePrefix;
  if (port.starts_with(prefix)) {
    std::printf("give the name without %s: %s\n", kDevicePrefix,
                port.substr(prefix.size()).c_str());
  }
}

} // namespace korvel::cli
