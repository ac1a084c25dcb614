#include "slave_open_watch_posix.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korvel::sim {
namespace {

bool exclusive_flag_set(int fd) {
  int set = 0;
  return ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
}

} // namespace

SlaveOpenWatch::SlaveOpenWatch(const std::string &slave_path, int slave_fd) : slave_fd_(slave_fd) {
  events_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (events_fd_ < 0 || inotify_add_watch(events_fd_, slave_path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    const std::string why = std::strerror(errno);
    if (events_fd_ >= 0) {
      close(events_fd_);
    }
    throw std::runtime_error("cannot watch " + slave_path + ": " + why);
  }
  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    close(events_fd_);
    throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  }
  thread_ = std::thread([this] { run(); });
}

SlaveOpenWatch::~SlaveOpenWatch() {
  const std::uint64_t one = 1;
  (void)!write(stop_fd_, &one, sizeof(one));
  thread_.join();
  close(stop_fd_);
  close(events_fd_);
}

void SlaveOpenWatch::run() {
  for (;;) {
    pollfd waits[2] = {{events_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if ((waits[1].revents & POLLIN) != 0) {
      return;
    }
    if ((waits[0].revents & POLLIN) != 0) {
      settle();
    }
  }
}

void SlaveOpenWatch::drain_events() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(events_fd_, buffer, sizeof(buffer));
    if (got <= 0) {
      return; // EAGAIN: nothing more queued
    }
    for (ssize_t offset = 0; offset < got;) {
      inotify_event event;
      std::memcpy(&event, buffer + offset, sizeof(event));
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        counting_ = false;
      }
      if ((event.mask & IN_OPEN) != 0) {
        ++client_opens_;
      }
      if ((event.mask & IN_CLOSE) != 0 && client_opens_ > 0) {
        --client_opens_;
      }
    }
  }
}

void SlaveOpenWatch::settle() {
  // The flag is read before the events: a client that set it had opened the
  // slave first, so its open is already queued and counted below.
  const bool flag_set = exclusive_flag_set(slave_fd_);
  drain_events();
  if (!flag_set || client_opens_ > 0 || !counting_) {
    return;
  }
  (void)ioctl(slave_fd_, TIOCNXCL);
  // A client that opened in between keeps the port to itself.
  drain_events();
  if (client_opens_ > 0) {
    (void)ioctl(slave_fd_, TIOCEXCL);
  }
}

} // namespace korvel::sim
