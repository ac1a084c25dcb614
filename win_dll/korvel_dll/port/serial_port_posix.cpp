// POSIX backend: termios serial ports below /dev, a monotonic tick.
#include "serial_port.h"

#include "serial_device_sysfs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace korvel::port {
namespace {

constexpr const char *kDevicePrefix = "/dev/";
// A port name is a path below /dev; a parent step would lead out of it.
constexpr const char *kParentStep = "..";

// A write that finds the output queue full waits this long for room before
// it is reported as failed, as a synchronous write would block.
constexpr int kWriteRoomWaitMs = static_cast<int>(kWriteTimeoutMs);

// A device is opened through the descriptor its node was checked with, by
// this path with the descriptor's number.
constexpr const char *kOwnDescriptorDir = "/proc/self/fd";
constexpr std::size_t kOwnDescriptorPathSize = sizeof("/proc/self/fd/") + 10;

// termios names its speeds; this is the one for kBaudRate.
constexpr speed_t kLineSpeed = B38400;
static_assert(kBaudRate == 38400, "kLineSpeed must name kBaudRate");

int to_fd(Handle handle) {
  const auto value = reinterpret_cast<std::intptr_t>(handle);
  return (value > 0 && value <= INT_MAX) ? static_cast<int>(value) : -1;
}

Handle to_handle(int fd) { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(fd)); }

// The handle is the descriptor itself and must never be null, so a port that
// lands on descriptor 0 (stdin closed by the host) is moved up. The node's
// own descriptor holds the lowest free number while the device is opened, so
// only another thread of the host closing descriptor 0 meanwhile can bring
// the device there.
int move_off_zero(int fd) {
  if (fd != 0) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

void set_modem_line(int fd, unsigned long request, int line) {
  // Pseudo-terminals reject modem-line ioctls; like every configuration
  // step, the outcome is deliberately ignored.
  (void)ioctl(fd, request, &line);
}

// The terminal's exclusive-open flag. Root is not stopped by it, so the
// library reads it itself; a driver that cannot report it gives Unknown, and
// then the library never sets it either.
enum class ExclusiveFlag { Clear, Set, Unknown };

ExclusiveFlag exclusive_flag(int fd) {
  int set = 0;
  if (ioctl(fd, TIOCGEXCL, &set) != 0) {
    return ExclusiveFlag::Unknown;
  }
  return set != 0 ? ExclusiveFlag::Set : ExclusiveFlag::Clear;
}

// Closes what was opened (passing the reason on untouched by the close) and
// reports the failure.
Handle failed_open(int fd, OpenFailure::Kind kind, int error, OpenFailure *failure) {
  if (fd >= 0) {
    close(fd);
  }
  if (failure != nullptr) {
    *failure = {kind, static_cast<SystemError>(error)};
  }
  return invalid_handle();
}

// Another program holds the port: flock's EWOULDBLOCK, or its exclusive flag.
Handle held_elsewhere(int fd, OpenFailure *failure) {
  return failed_open(fd, OpenFailure::Kind::Unavailable, EBUSY, failure);
}

// Whether two stat records describe the same node of the same device.
bool same_node(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev &&
         (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

// Opens the node that node_fd (an O_PATH descriptor) refers to, not whatever
// its path leads to by now. Returns the descriptor, or -1 with the reason in
// *failure. Without /proc the node cannot be reached this way, and opening
// the path again could open another node: ENOSYS then. A device that is not
// the node that was checked is closed again at once: ENOTTY.
int open_checked_node(int node_fd, const struct stat &checked, OpenFailure *failure) {
  char path[kOwnDescriptorPathSize];
  (void)std::snprintf(path, sizeof(path), "%s/%d", kOwnDescriptorDir, node_fd);
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    struct stat proc {};
    if (error == ENOENT && stat_following_links(AT_FDCWD, kOwnDescriptorDir, &proc) != 0) {
      error = ENOSYS;
    }
    *failure = {OpenFailure::Kind::Unavailable, static_cast<SystemError>(error)};
    return -1;
  }
  struct stat opened {};
  if (stat_descriptor(fd, &opened) != 0 || !same_node(opened, checked)) {
    close(fd);
    *failure = {OpenFailure::Kind::NotAPort, ENOTTY};
    return -1;
  }
  return fd;
}

// Waits up to kWriteRoomWaitMs for the output queue to take bytes again. A
// signal that interrupts the wait does not shorten it.
bool wait_for_room(int fd) {
  const std::uint32_t started = tick_ms();
  for (;;) {
    const std::uint32_t waited = tick_ms() - started;
    if (waited >= static_cast<std::uint32_t>(kWriteRoomWaitMs)) {
      return false;
    }
    pollfd room{fd, POLLOUT, 0};
    const int ready = poll(&room, 1, kWriteRoomWaitMs - static_cast<int>(waited));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
  }
}

} // namespace

bool make_device_path(const char *port_name, Role /*role*/, char *path) {
  return join_device_path(kDevicePrefix, port_name, path) &&
         std::strstr(path, kParentStep) == nullptr;
}

SystemError refused_name_error() { return EINVAL; }

void leave_system_error(SystemError error) { errno = static_cast<int>(error); }

Handle open_port(const char *path, OpenFailure *failure) {
  // Only a serial device is ever opened: the open alone can act on other
  // devices, so they are recognised by their device number first. The path
  // is resolved once, into a descriptor that opens nothing (O_PATH); the
  // device is then opened through that descriptor, so a link changed in
  // between cannot bring another node in.
  const int node_fd = open(path, O_PATH | O_CLOEXEC);
  if (node_fd < 0) {
    return failed_open(-1, OpenFailure::Kind::Unavailable, errno, failure);
  }
  struct stat node {};
  const int stat_error = stat_descriptor(node_fd, &node);
  if (stat_error != 0) {
    return failed_open(node_fd, OpenFailure::Kind::Unavailable, stat_error, failure);
  }
  switch (classify_device(node, kSystemDeviceSources)) {
  case DeviceKind::NotAPort:
    return failed_open(node_fd, OpenFailure::Kind::NotAPort, ENOTTY, failure);
  case DeviceKind::SystemConsole:
    // The kernel uses it: busy, as a port another program holds.
    return held_elsewhere(node_fd, failure);
  case DeviceKind::SerialPort:
    break;
  }
  OpenFailure why;
  int fd = open_checked_node(node_fd, node, &why);
  close(node_fd);
  if (fd < 0) {
    return failed_open(-1, why.kind, static_cast<int>(why.error), failure);
  }
  fd = move_off_zero(fd);
  if (fd < 0) {
    return failed_open(fd, OpenFailure::Kind::Unavailable, errno, failure);
  }
  // A serial device that is no terminal after all is closed again before a
  // lock or a setting touches it.
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    return failed_open(fd, OpenFailure::Kind::NotAPort, ENOTTY, failure);
  }
  // Another program holds the port exclusively: leave it to that program,
  // settings untouched, even where root could open it regardless.
  const ExclusiveFlag flag = exclusive_flag(fd);
  if (flag == ExclusiveFlag::Set) {
    return held_elsewhere(fd, failure);
  }
  // flock stops root and every other process that uses this library;
  // TIOCEXCL keeps other non-root openers out.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    return error == EWOULDBLOCK ? held_elsewhere(fd, failure)
                                : failed_open(fd, OpenFailure::Kind::Unavailable, error, failure);
  }
  if (flag == ExclusiveFlag::Clear) {
    (void)ioctl(fd, TIOCEXCL);
  }
  return to_handle(fd);
}

void configure_port(Handle handle, Role role, SavedSettings *saved) {
  static_assert(sizeof(termios) <= sizeof(SavedSettings::record));
  const int fd = to_fd(handle);
  termios settings{};
  const bool read = tcgetattr(fd, &settings) == 0;
  if (saved != nullptr) {
    std::memcpy(saved->record, &settings, sizeof(settings));
    saved->valid = read;
  }
  cfmakeraw(&settings);
  // Raw mode leaves these input flags as a previous program set them: the
  // line would then send XON/XOFF of its own, or resume output on any byte.
  settings.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  (void)cfsetispeed(&settings, kLineSpeed);
  (void)cfsetospeed(&settings, kLineSpeed);
  (void)tcsetattr(fd, TCSANOW, &settings);
  if (role == Role::Interface) {
    set_modem_line(fd, TIOCMBIS, TIOCM_DTR);
    set_modem_line(fd, TIOCMBIC, TIOCM_RTS);
  }
}

void restore_settings(Handle handle, const SavedSettings &saved) {
  if (!saved.valid) {
    return;
  }
  termios settings{};
  std::memcpy(&settings, saved.record, sizeof(settings));
  (void)tcsetattr(to_fd(handle), TCSANOW, &settings);
}

bool purge_receive(Handle handle) { return tcflush(to_fd(handle), TCIFLUSH) == 0; }

std::int32_t queued_count(Handle handle) {
  int count = 0;
  if (ioctl(to_fd(handle), FIONREAD, &count) != 0) {
    return -1;
  }
  return count;
}

bool read_byte(Handle handle, std::uint8_t *byte) {
  ssize_t got = 0;
  do {
    got = read(to_fd(handle), byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1;
}

std::int32_t write_bytes(Handle handle, const std::uint8_t *bytes, std::int32_t count) {
  const int fd = to_fd(handle);
  bool waited_for_room = false;
  for (;;) {
    const ssize_t written = write(fd, bytes, static_cast<std::size_t>(count));
    if (written >= 0) {
      return static_cast<std::int32_t>(written);
    }
    if (errno == EINTR) {
      continue;
    }
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || waited_for_room || !wait_for_room(fd)) {
      return -1;
    }
    waited_for_room = true;
  }
}

void close_port(Handle handle) {
  const int fd = to_fd(handle);
  // The last close of a terminal waits for its output to drain (30 s by
  // default), which a stalled device never does.
  (void)tcflush(fd, TCIOFLUSH);
  // The open refused a port whose flag was already set, and set it only
  // where the driver reports it, so a flag found set here is this library's.
  if (exclusive_flag(fd) == ExclusiveFlag::Set) {
    (void)ioctl(fd, TIOCNXCL);
  }
  (void)close(fd);
}

Handle renumber_handle(Handle handle, HandleFilter avoid, OpenFailure *failure) {
  // Every rejected descriptor stays open until a good one is found, so no
  // value can come back twice; the lock belongs to the open file, which all
  // the duplicates share, and outlives the plain closes below.
  int held[kMaxAvoidedHandles + 1];
  int held_count = 0;
  int fd = to_fd(handle);
  int error = 0;
  while (fd >= 0 && avoid(to_handle(fd)) && held_count <= kMaxAvoidedHandles) {
    held[held_count++] = fd;
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    error = errno;
  }
  for (int i = 0; i < held_count; ++i) {
    (void)close(held[i]);
  }
  return fd < 0 ? failed_open(fd, OpenFailure::Kind::Unavailable, error, failure) : to_handle(fd);
}

std::uint32_t tick_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
  return static_cast<std::uint32_t>(ms);
}

void sleep_ms(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000U),
                     static_cast<long>(milliseconds % 1000U) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

ProcessId current_process() { return static_cast<ProcessId>(getpid()); }

} // namespace korvel::port
