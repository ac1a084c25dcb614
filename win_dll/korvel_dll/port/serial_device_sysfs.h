// Which device nodes may be opened as serial ports on Linux, decided from the
// node's device number and sysfs alone, before anything is opened: opening a
// device node can already act (a watchdog arms itself), and the system
// console or a virtual terminal must never be switched to raw mode.
#pragma once

#include <cstddef>
#include <sys/stat.h>

namespace korvel::port {

// Where the decision looks; the tests point these at a fake tree.
struct DeviceSources {
  // Holds an entry MAJOR:MINOR for every character device ("/sys/dev/char").
  const char *sys_dev_char;
  // The process's status line, with its controlling terminal ("/proc/self/stat").
  const char *proc_self_stat;
  // The tty class: console/active, and a dev entry (MAJOR:MINOR) for every
  // terminal ("/sys/class/tty").
  const char *sys_class_tty;
};
extern const DeviceSources kSystemDeviceSources;

enum class DeviceKind {
  // A pseudo-terminal slave, or a terminal with hardware behind it.
  SerialPort,
  // A serial port the kernel writes its console to: in use, and never
  // opened, under whatever name or link it is reached.
  SystemConsole,
  // Anything else: a file, a FIFO, the console device, a virtual terminal, a
  // watchdog, or the process's own controlling terminal.
  NotAPort,
};

// Classifies a node from its stat record alone (type and device number);
// the record may come from a descriptor that opened nothing (O_PATH).
DeviceKind classify_device(const struct stat &node, const DeviceSources &sources);

// The devices the kernel writes its console to, as console/active lists them,
// separated by spaces ("tty0 ttyS0").
constexpr std::size_t kConsoleListSize = 256;
struct ConsoleList {
  char names[kConsoleListSize];
};

// Reads the console list of a tty class directory (empty when there is none).
void read_consoles(const char *sys_class_tty, ConsoleList &consoles);

// Whether name is one of the listed names, as a whole: ttyS10 is not ttyS1.
bool names_console(const ConsoleList &consoles, const char *name);

// stat() following links, and fstat(), through the system calls themselves,
// so that the library binds no stat symbol newer than its oldest supported C
// library. Return 0, or the errno of the failure.
int stat_following_links(int dir_fd, const char *path, struct stat *info);
int stat_descriptor(int fd, struct stat *info);

} // namespace korvel::port
