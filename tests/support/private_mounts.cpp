#include "private_mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace private_mounts {
namespace {

constexpr const char *kTtyClass = "/sys/class/tty";

bool write_file(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

} // namespace

int run(const std::function<int()> &body) {
  const pid_t child = fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    // Mount events must not travel back to the machine's namespace.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
      _exit(kUnavailable);
    }
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

bool fake_console(const std::string &console_name, dev_t number) {
  const std::string tty_class = kTtyClass;
  return mount("korvel-fake-tty", kTtyClass, "tmpfs", 0, nullptr) == 0 &&
         mkdir((tty_class + "/console").c_str(), 0755) == 0 &&
         write_file(tty_class + "/console/active", console_name + "\n") &&
         mkdir((tty_class + "/" + console_name).c_str(), 0755) == 0 &&
         write_file(tty_class + "/" + console_name + "/dev",
                    std::to_string(major(number)) + ":" + std::to_string(minor(number)) + "\n");
}

bool without_proc() { return umount2("/proc", MNT_DETACH) == 0; }

} // namespace private_mounts
