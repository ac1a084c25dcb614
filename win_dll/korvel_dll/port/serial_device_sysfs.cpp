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

const DeviceSources kSystemDeviceSources = {"/sys/dev/char", "/proc/self/stat", "/sys/class/tty"};

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
// A dev entry of the tty class: "MAJOR:MINOR" and a line break.
constexpr std::size_t kNumberTextSize = 32;
// Separates the names of console/active.
constexpr const char *kConsoleSeparators = " \n";
constexpr const char *kConsoleActive = "console/active";

struct DeviceNumber {
  unsigned major;
  unsigned minor;
};

bool same_device(DeviceNumber a, DeviceNumber b) {
  return a.major == b.major && a.minor == b.minor;
}

// The C library's encoding of a device number, which for values below 2^32
// is also the kernel's (in the status line); written out here so that no
// helper function needs binding. Minors of 256 and more keep their high bits.
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
  // Printed as a signed 32-bit number: a minor with its top bit set shows
  // as negative.
  const long tty = std::strtol(field + 1, &end, 10);
  if (end == field + 1 || tty == 0) {
    return false;
  }
  *number = split(static_cast<std::uint32_t>(tty));
  return true;
}

// Reads a whole small file into text, terminated; false if nothing was read.
template <std::size_t Size> bool read_small_file(const char *path, char (&text)[Size]) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    text[0] = '\0';
    return false;
  }
  const ssize_t got = read(fd, text, Size - 1);
  close(fd);
  text[got > 0 ? got : 0] = '\0';
  return got > 0;
}

// "MAJOR:MINOR" and a line break, as a dev entry holds it.
bool parse_device_number(const char *text, DeviceNumber *number) {
  char *end = nullptr;
  const unsigned long major = std::strtoul(text, &end, 10);
  if (end == text || *end != ':') {
    return false;
  }
  const char *minor_text = end + 1;
  const unsigned long minor = std::strtoul(minor_text, &end, 10);
  if (end == minor_text || (*end != '\0' && *end != '\n')) {
    return false;
  }
  *number = {static_cast<unsigned>(major), static_cast<unsigned>(minor)};
  return true;
}

// Calls visit(name, length) for each name of the console list until one
// returns true; true if one did.
template <typename Visit> bool any_console(const ConsoleList &consoles, Visit visit) {
  for (const char *name = consoles.names + std::strspn(consoles.names, kConsoleSeparators);
       *name != '\0';) {
    const std::size_t length = std::strcspn(name, kConsoleSeparators);
    if (visit(name, length)) {
      return true;
    }
    name += length;
    name += std::strspn(name, kConsoleSeparators);
  }
  return false;
}

// Whether one of the console's devices has this number. Compared by number,
// not by name, so that a link to the console or another node for the same
// device is recognised too.
bool is_console_device(const DeviceSources &sources, DeviceNumber number) {
  ConsoleList consoles;
  read_consoles(sources.sys_class_tty, consoles);
  return any_console(consoles, [&](const char *name, std::size_t length) {
    char path[kSysPathSize];
    char text[kNumberTextSize];
    DeviceNumber console{};
    const int written = std::snprintf(path, sizeof(path), "%s/%.*s/dev", sources.sys_class_tty,
                                      static_cast<int>(length), name);
    return written > 0 && static_cast<std::size_t>(written) < sizeof(path) &&
           read_small_file(path, text) && parse_device_number(text, &console) &&
           same_device(console, number);
  });
}

} // namespace

int stat_following_links(int dir_fd, const char *path, struct stat *info) {
  return syscall(SYS_newfstatat, dir_fd, path, info, 0) == 0 ? 0 : errno;
}

int stat_descriptor(int fd, struct stat *info) {
  return syscall(SYS_fstat, fd, info) == 0 ? 0 : errno;
}

void read_consoles(const char *sys_class_tty, ConsoleList &consoles) {
  char path[kSysPathSize];
  const int length = std::snprintf(path, sizeof(path), "%s/%s", sys_class_tty, kConsoleActive);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(path)) {
    consoles.names[0] = '\0';
    return;
  }
  (void)read_small_file(path, consoles.names);
}

bool names_console(const ConsoleList &consoles, const char *name) {
  const std::size_t length = std::strlen(name);
  return any_console(consoles, [&](const char *listed, std::size_t listed_length) {
    return listed_length == length && std::strncmp(listed, name, length) == 0;
  });
}

DeviceKind classify_device(const struct stat &node, const DeviceSources &sources) {
  if (!S_ISCHR(node.st_mode)) {
    return DeviceKind::NotAPort;
  }
  const DeviceNumber number = split(node.st_rdev);
  DeviceNumber own{};
  if (controlling_terminal(sources.proc_self_stat, &own) && same_device(own, number)) {
    return DeviceKind::NotAPort;
  }
  const bool pty_slave = number.major >= kFirstPtySlaveMajor && number.major <= kLastPtySlaveMajor;
  if (!pty_slave && !is_hardware_tty(sources, number)) {
    return DeviceKind::NotAPort;
  }
  return is_console_device(sources, number) ? DeviceKind::SystemConsole : DeviceKind::SerialPort;
}

} // namespace korvel::port
