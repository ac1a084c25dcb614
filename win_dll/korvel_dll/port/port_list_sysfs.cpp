// Linux port list: the entries of /sys/class/tty that have a device behind
// them, in natural order (ttyS2 before ttyS10), without the system console.
#include "port_list_sysfs.h"

#include "serial_device_sysfs.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvel::port {
namespace {

constexpr const char *kSysClassTty = "/sys/class/tty";

// The serial core reports type 0 (unknown) for the legacy 8250 placeholders
// that exist whether or not a UART is fitted.
constexpr char kUnknownSerialType = '0';

// Directory entries are read with the raw system call into this buffer, so
// that listing allocates nothing.
constexpr std::size_t kDirentBufferSize = 4096;

struct LinuxDirent64 {
  ino64_t inode;
  off64_t offset;
  unsigned short record_length;
  unsigned char type;
  char name[1];
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "name/leaf" below the tty class directory; names are shorter than
// kListedNameSize, so the path always fits.
constexpr std::size_t kEntryPathSize = kListedNameSize + sizeof("/device");

void entry_path(const char *name, const char *leaf, char (&path)[kEntryPathSize]) {
  (void)std::snprintf(path, sizeof(path), "%s/%s", name, leaf);
}

bool has_device(int tty_dir, const char *name) {
  char link[kEntryPathSize];
  entry_path(name, "device", link);
  struct stat info {};
  return stat_following_links(tty_dir, link, &info) == 0;
}

bool is_placeholder(int tty_dir, const char *name) {
  char path[kEntryPathSize];
  entry_path(name, "type", path);
  const int fd = openat(tty_dir, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char type[4] = {};
  const ssize_t got = read(fd, type, sizeof(type) - 1);
  close(fd);
  return got >= 1 && type[0] == kUnknownSerialType && (got == 1 || !is_digit(type[1]));
}

// Keeps the first kMaxListedPorts names in sorted order, whatever order the
// directory gives them in: a full list gives up its last name to one that
// sorts before it.
void insert_sorted(PortNameList &list, const char *name) {
  if (list.count == kMaxListedPorts) {
    if (!natural_less(name, list.names[kMaxListedPorts - 1])) {
      return;
    }
    --list.count;
  }
  std::size_t at = list.count;
  while (at > 0 && natural_less(name, list.names[at - 1])) {
    std::memcpy(list.names[at], list.names[at - 1], kListedNameSize);
    --at;
  }
  std::memcpy(list.names[at], name, strnlen(name, kListedNameSize - 1) + 1);
  ++list.count;
}

} // namespace

bool natural_less(const char *a, const char *b) {
  while (*a != '\0' && *b != '\0') {
    if (is_digit(*a) && is_digit(*b)) {
      const char *a_end = a;
      const char *b_end = b;
      while (*a == '0' && is_digit(a[1])) {
        ++a;
      }
      while (*b == '0' && is_digit(b[1])) {
        ++b;
      }
      while (is_digit(*a_end)) {
        ++a_end;
      }
      while (is_digit(*b_end)) {
        ++b_end;
      }
      if (a_end - a != b_end - b) {
        return a_end - a < b_end - b;
      }
      const int order = std::strncmp(a, b, static_cast<std::size_t>(a_end - a));
      if (order != 0) {
        return order < 0;
      }
      a = a_end;
      b = b_end;
    } else if (*a != *b) {
      return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
    } else {
      ++a;
      ++b;
    }
  }
  return *a == '\0' && *b != '\0';
}

bool list_sysfs_ports(const char *class_tty_dir, PortNameList &list) {
  list.count = 0;
  const int dir = open(class_tty_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return false;
  }
  // A probe would write to the console and leave it raw, and console output
  // would garble an adapter's frames anyway.
  ConsoleList consoles;
  read_consoles(class_tty_dir, consoles);
  alignas(LinuxDirent64) char buffer[kDirentBufferSize];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, buffer, sizeof(buffer));
    if (got <= 0) {
      close(dir);
      return got == 0;
    }
    for (long offset = 0; offset < got;) {
      const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + offset);
      offset += entry->record_length;
      const char *name = entry->name;
      if (name[0] == '.' || strnlen(name, kListedNameSize) >= kListedNameSize) {
        continue;
      }
      if (has_device(dir, name) && !is_placeholder(dir, name) && !names_console(consoles, name)) {
        insert_sorted(list, name);
      }
    }
  }
}

bool walk_sysfs_ports(const char *class_tty_dir, PortVisitor visit, void *context) {
  PortNameList list;
  if (!list_sysfs_ports(class_tty_dir, list)) {
    return false;
  }
  for (std::size_t i = 0; i < list.count; ++i) {
    if (visit(list.names[i], context)) {
      break;
    }
  }
  return true;
}

bool list_serial_ports(PortVisitor visit, void *context) {
  return walk_sysfs_ports(kSysClassTty, visit, context);
}

} // namespace korvel::port
