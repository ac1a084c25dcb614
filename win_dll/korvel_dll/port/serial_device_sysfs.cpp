#include "serial_device_sysfs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvel::port {

const DeviceSources kSystemDeviceSources = {"/sys/dev/char", "/proc/self/stat"};

namespace {

// Unix98 pseudo-terminal slaves (/dev/pts/N) use these majors.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

// A sysfs device whose subsystem link ends in this name is a terminal.
constexpr const char *kTtySubsystem = "tty";

// "<sys_dev_char>/MAJOR:MINOR/<leaf>" and a link target read from sysfs.
constexpr std::size_t kSysPathSize = 256;
// The status line up to the controlling terminal is far shorter: the
// command name in it is at most 16 characters.
constexpr std::size_t kStatLineSize = 512;
// The controlling terminal is the 5th field after the command name.
constexpr int kTtyFieldAfterName = 5;

struct DeviceNumber {
  unsigned major;
  unsigned minor;
};

bool same_device(DeviceNumber a, DeviceNumber b) {
  return a.major == b.major && a.minor == b.minor;
}

// The C library's and the kernel's encoding of a device number; written out
// here so that no helper function needs binding.
DeviceNumber split(std::uint64_t device) {
  return {static_cast<unsigned>(((device >> 8) & 0xFFFU) | ((device >> 32) & 0xFFFFF000U)),
          static_cast<unsigned>((device & 0xFFU) | ((device >> 12) & 0xFFFFFF00U))};
}

bool sys_path(const DeviceSources &sources, DeviceNumber number, const char *leaf,
              char (&path)[kSysPathSize]) {
  const int length = std::snprintf(path, sizeof(path), "%s/%u:%u/%s", sources.sys_dev_char,
                                   number.major, number.minor, leaf);
  return length > 0 && static_cast<std::size_t>(length) < sizeof(path);
}

// A terminal with hardware behind it has a device entry and belongs to the
// tty class; the console, virtual terminals and ptmx have no device entry,
// and a watchdog or other misc device belongs to another class.
bool is_hardware_tty(const DeviceSources &sources, DeviceNumber number) {
  char path[kSysPathSize];
  struct stat info {};
  if (!sys_path(sources, number, "device", path) ||
      stat_following_links(AT_FDCWD, path, &info) != 0) {
    return false;
  }
  char target[kSysPathSize];
  if (!sys_path(sources, number, "subsystem", path)) {
    return false;
  }
  const ssize_t length = readlink(path, target, sizeof(target) - 1);
  if (length <= 0) {
    return false;
  }
  target[length] = '\0';
  const char *slash = std::strrchr(target, '/');
  return std::strcmp(slash != nullptr ? slash + 1 : target, kTtySubsystem) == 0;
}

// The process's controlling terminal, read from its status line without
// opening any terminal; false when it has none or the line cannot be read.
bool controlling_terminal(const char *proc_self_stat, DeviceNumber *number) {
  const int fd = open(proc_self_stat, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char line[kStatLineSize];
  const ssize_t got = read(fd, line, sizeof(line) - 1);
  close(fd);
  if (got <= 0) {
    return false;
  }
  line[got] = '\0';
  // The command name may hold spaces and parentheses; it ends at the last ')'.
  const char *field = std::strrchr(line, ')');
  if (field == nullptr) {
    return false;
  }
  for (int i = 0; i < kTtyFieldAfterName; ++i) {
    field = std::strchr(field + 1, ' ');
    if (field == nullptr) {
      return false;
    }
  }
  char *end = nullptr;
  const long tty = std::strtol(field + 1, &end, 10);
  if (end == field + 1 || tty <= 0) {
    return false;
  }
  *number = split(static_cast<std::uint64_t>(tty));
  return true;
}

} // namespace

int stat_following_links(int dir_fd, const char *path, struct stat *info) {
  return syscall(SYS_newfstatat, dir_fd, path, info, 0) == 0 ? 0 : errno;
}

DeviceKind classify_device(const char *path, const DeviceSources &sources, int *stat_error) {
  struct stat info {};
  const int error = stat_following_links(AT_FDCWD, path, &info);
  if (error != 0) {
    *stat_error = error;
    return DeviceKind::Unreachable;
  }
  if (!S_ISCHR(info.st_mode)) {
    return DeviceKind::NotAPort;
  }
  const DeviceNumber number = split(info.st_rdev);
  DeviceNumber own{};
  if (controlling_terminal(sources.proc_self_stat, &own) && same_device(own, number)) {
    return DeviceKind::NotAPort;
  }
  if (number.major >= kFirstPtySlaveMajor && number.major <= kLastPtySlaveMajor) {
    return DeviceKind::SerialPort;
  }
  return is_hardware_tty(sources, number) ? DeviceKind::SerialPort : DeviceKind::NotAPort;
}

} // namespace korvel::port
