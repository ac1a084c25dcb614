// Listing serial ports from a sysfs tty class directory.
#pragma once

#include "port_list.h"

#include <cstddef>

namespace korvel::port {

// More ports than this are not listed.
constexpr std::size_t kMaxListedPorts = 64;

struct PortNameList {
  char names[kMaxListedPorts][kListedNameSize];
  std::size_t count;
};

// Fills list with the entries of class_tty_dir (normally /sys/class/tty) that
// have a device link, leaving out serial ports of unknown type (placeholders
// without hardware), the devices named in console/active (the kernel's
// console) and names that do not fit kListedNameSize, sorted with
// natural_less. Returns false if the directory cannot be read.
bool list_sysfs_ports(const char *class_tty_dir, PortNameList &list);

// Visits the ports list_sysfs_ports lists, in its order, until visit returns
// true. Returns false if the directory cannot be read.
bool walk_sysfs_ports(const char *class_tty_dir, PortVisitor visit, void *context);

// Orders names by their text, with runs of digits compared as numbers:
// ttyS2 < ttyS10 < ttyUSB0.
bool natural_less(const char *a, const char *b);

} // namespace korvel::port
