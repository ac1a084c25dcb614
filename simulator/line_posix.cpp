// Lines on Linux: a pseudo-terminal of the simulator's own, or a serial
// device.
#include "line.h"
#include "slave_open_watch_posix.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace korvel::sim {
namespace {

constexpr const char *kDeviceDir = "/dev/";
constexpr speed_t kLineSpeed = B38400;

std::string below_dev(const std::string &path) {
  return path.starts_with(kDeviceDir) ? path.substr(std::strlen(kDeviceDir)) : path;
}

std::runtime_error device_error(const std::string &path, const std::string &why) {
  return std::runtime_error(path + ": " + why);
}

void pause_ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// 38400 8N1, raw, the modem lines ignored (CLOCAL), no flow control.
void set_line(int fd, const std::string &path) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    throw device_error(path, std::strerror(errno));
  }
  cfmakeraw(&line);
  cfsetispeed(&line, kLineSpeed);
  cfsetospeed(&line, kLineSpeed);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    throw device_error(path, std::strerror(errno));
  }
}

bool exclusive_flag_set(int fd) {
  int set = 0;
  return ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
}

// A line on a descriptor, kept non-blocking: a write that finds no room
// waits for it a bounded time.
class DescriptorLine : public Line {
public:
  DescriptorLine(int fd, std::string port_name, std::string device_path)
      : Line(std::move(port_name), std::move(device_path)), fd_(fd) {}
  ~DescriptorLine() override { close(fd_); }

  std::ptrdiff_t read(std::uint8_t *buffer, std::size_t size) override {
    if (!down_) {
      pollfd readable{fd_, POLLIN, 0};
      const int ready = poll(&readable, 1, static_cast<int>(kReadWaitMs));
      if (ready <= 0) {
        return 0; // nothing came, or a signal: the caller reads again
      }
      if ((readable.revents & POLLIN) != 0) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got > 0) {
          return got;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
          return 0;
        }
      }
    }
    // Hung up (a device unplugged, the line let go of): it reports so at
    // once, for as long as it stays down, so wait rather than spin.
    pause_ms(kReadWaitMs);
    return kLineDown;
  }

  bool write(const std::uint8_t *bytes, std::size_t count) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteStallLimitMs);
    for (std::size_t offset = 0; offset < count;) {
      if (down_) {
        return false;
      }
      const ssize_t written = ::write(fd_, bytes + offset, count - offset);
      if (written > 0) {
        offset += static_cast<std::size_t>(written);
        continue;
      }
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written < 0 && errno != EAGAIN) {
        return false;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd room{fd_, POLLOUT, 0};
      if (left.count() <= 0 || poll(&room, 1, static_cast<int>(left.count())) == 0) {
        return false;
      }
    }
    return true;
  }

  void hang_up() override {
    if (down_.exchange(true)) {
      return;
    }
    before_letting_go();
    // The descriptor's number stays in use, now for /dev/null, so that a
    // read or write racing with this never reaches another file that reused
    // it; the device itself is let go of at once.
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, fd_);
      close(null_fd);
    }
  }

protected:
  // What must happen to the device while it is still this line's.
  virtual void before_letting_go() {}

  const int fd_;

private:
  std::atomic<bool> down_{false};
};

// The master side of a pseudo-terminal; the host opens the slave.
class OwnPseudoTerminal : public DescriptorLine {
public:
  OwnPseudoTerminal(int master_fd, int slave_fd, const std::string &slave_path)
      : DescriptorLine(master_fd, below_dev(slave_path), slave_path), slave_keepalive_fd_(slave_fd),
        watch_(slave_path, slave_fd) {}
  ~OwnPseudoTerminal() override { close(slave_keepalive_fd_); }

private:
  // Holding the slave open keeps the master readable between the host's
  // opens (a pty master reads EIO while no slave is open), and lets the
  // watch clear a flag a client left.
  const int slave_keepalive_fd_;
  SlaveOpenWatch watch_;
};

// A serial device, held exclusively like the library holds its port: its
// exclusive flag (which keeps other users out) and a lock (which keeps out
// root and every program using the library).
class SerialDeviceLine : public DescriptorLine {
public:
  SerialDeviceLine(int fd, const std::string &path) : DescriptorLine(fd, below_dev(path), path) {}
  ~SerialDeviceLine() override { before_letting_go(); }

private:
  // The flag outlives the descriptor where the device stays open elsewhere
  // (a pseudo-terminal's master), so it is cleared before the close.
  void before_letting_go() override { (void)ioctl(fd_, TIOCNXCL); }
};

} // namespace

bool own_line_available() { return true; }

std::unique_ptr<Line> open_own_line() {
  int master_fd = -1;
  int slave_fd = -1;
  char name[64] = {};
  if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  termios raw{};
  tcgetattr(slave_fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_fd, TCSANOW, &raw);
  fcntl(master_fd, F_SETFD, FD_CLOEXEC);
  fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
  fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
  try {
    return std::make_unique<OwnPseudoTerminal>(master_fd, slave_fd, name);
  } catch (...) {
    close(master_fd);
    close(slave_fd);
    throw;
  }
}

std::unique_ptr<Line> open_device_line(const std::string &path) {
  // Opened without waiting for a carrier, and never as a controlling
  // terminal.
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw device_error(path, std::strerror(errno));
  }
  const auto refuse = [&](const std::string &why) {
    close(fd);
    return device_error(path, why);
  };
  if (isatty(fd) == 0) {
    throw refuse("not a terminal, so not a serial device");
  }
  if (exclusive_flag_set(fd)) {
    throw refuse("held by another program");
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    throw refuse(errno == EWOULDBLOCK ? "held by another program" : std::strerror(errno));
  }
  (void)ioctl(fd, TIOCEXCL);
  auto line = std::make_unique<SerialDeviceLine>(fd, path);
  set_line(fd, path);
  return line;
}

} // namespace korvel::sim
