#include "slave_open_watch_posix.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::sim {
namespace {

constexpr const char *kProcesses = "/proc";
// A client that dies closes its files one by one: when the slave's close
// is reported, the dying process may still list another descriptor of it
// for a moment, so a slave still held is looked at a few times more.
constexpr int kLooksAfterAClose = 2;
constexpr int kLookIntervalMs = 50;

bool exclusive_flag_set(int fd) {
  int set = 0;
  return ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
}

// A process's id, or its file descriptor's number, from its name in /proc.
bool number_named(const char *name, long &number) {
  char *end = nullptr;
  number = std::strtol(name, &end, 10);
  return *name != '\0' && *end == '\0';
}

} // namespace

SlaveOpenWatch::SlaveOpenWatch(const std::string &slave_path, int slave_fd) : slave_fd_(slave_fd) {
  struct stat slave {};
  if (fstat(slave_fd_, &slave) != 0) {
    throw std::runtime_error("cannot read " + slave_path + ": " + std::strerror(errno));
  }
  slave_device_ = slave.st_dev;
  slave_inode_ = slave.st_ino;
  events_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (events_fd_ < 0 || inotify_add_watch(events_fd_, slave_path.c_str(), IN_CLOSE) < 0) {
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
  int looks_left = 0;
  for (;;) {
    pollfd waits[2] = {{events_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = poll(waits, 2, looks_left > 0 ? kLookIntervalMs : -1);
    if (ready < 0 && errno != EINTR) {
      return;
    }
    if ((waits[1].revents & POLLIN) != 0) {
      return;
    }
    if ((waits[0].revents & POLLIN) != 0) {
      drain_events();
      looks_left = kLooksAfterAClose;
    }
    if (looks_left > 0) {
      looks_left = settle() ? looks_left - 1 : 0;
    }
  }
}

void SlaveOpenWatch::drain_events() {
  alignas(inotify_event) char buffer[4096];
  while (read(events_fd_, buffer, sizeof(buffer)) > 0) {
  }
}

bool SlaveOpenWatch::held_elsewhere() const {
  DIR *processes = opendir(kProcesses);
  if (processes == nullptr) {
    return true; // nothing can be known: the flag stays
  }
  const long own_process = getpid();
  bool held = false;
  for (dirent *process = readdir(processes); process != nullptr && !held;
       process = readdir(processes)) {
    long pid = 0;
    if (!number_named(process->d_name, pid)) {
      continue;
    }
    const std::string fd_dir = std::string(kProcesses) + "/" + process->d_name + "/fd";
    // A process that has ended meanwhile, or whose files this user may not
    // see, is passed over: only this user and root can open the slave.
    DIR *descriptors = opendir(fd_dir.c_str());
    if (descriptors == nullptr) {
      continue;
    }
    for (dirent *entry = readdir(descriptors); entry != nullptr && !held;
         entry = readdir(descriptors)) {
      long fd = 0;
      if (!number_named(entry->d_name, fd) || (pid == own_process && fd == slave_fd_)) {
        continue;
      }
      // The file itself, not its name, which differs between mount
      // namespaces; stat opens nothing.
      struct stat file {};
      held = stat((fd_dir + "/" + entry->d_name).c_str(), &file) == 0 &&
             file.st_dev == slave_device_ && file.st_ino == slave_inode_;
    }
    closedir(descriptors);
  }
  closedir(processes);
  return held;
}

bool SlaveOpenWatch::settle() {
  if (!exclusive_flag_set(slave_fd_)) {
    return false;
  }
  if (held_elsewhere()) {
    return true;
  }
  // A client that opens from now on finds the flag clear and sets its own
  // (the library does), or found it set and refuses itself.
  (void)ioctl(slave_fd_, TIOCNXCL);
  return false;
}

} // namespace korvel::sim
