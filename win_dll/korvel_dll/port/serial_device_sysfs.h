// Which device nodes may be opened as serial ports on Linux, decided from the
// node's device number and sysfs alone, before anything is opened: opening a
// device node can already act (a watchdog arms itself), and the system
// console or a virtual terminal must never be switched to raw mode.
#pragma once

#include <sys/stat.h>

namespace korvel::port {

// Where the decision looks; the tests point these at a fake tree.
struct DeviceSources {
  // Holds an entry MAJOR:MINOR for every character device ("/sys/dev/char").
  const char *sys_dev_char;
  // The process's status line, with its controlling terminal ("/proc/self/stat").
  const char *proc_self_stat;
};
extern const DeviceSources kSystemDeviceSources;

enum class DeviceKind {
  // The path could not be looked at: absent, or a directory on the way that
  // may not be searched.
  Unreachable,
  // A pseudo-terminal slave, or a terminal with hardware behind it.
  SerialPort,
  // Anything else: a file, a FIFO, the console, a virtual terminal, a
  // watchdog, or the process's own controlling terminal.
  NotAPort,
};

// Classifies the node a path leads to, following links (a link such as
// serial0 to the real port is fine). On Unreachable, *stat_error holds the
// errno of the failed look-up.
DeviceKind classify_device(const char *path, const DeviceSources &sources, int *stat_error);

// stat() following links, through the system call itself, so that the
// library binds no stat symbol newer than its oldest supported C library.
// Returns 0, or the errno of the failure.
int stat_following_links(int dir_fd, const char *path, struct stat *info);

} // namespace korvel::port
