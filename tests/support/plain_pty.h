// A pseudo-terminal made by the test itself: the slave is the port under
// test, and the master, which nobody reads unless the test does, shows what
// reached the line.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class PlainPty {
public:
  PlainPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      path_ = ptsname(master_);
    }
  }
  ~PlainPty() {
    if (master_ >= 0) {
      close(master_);
    }
  }
  PlainPty(const PlainPty &) = delete;
  PlainPty &operator=(const PlainPty &) = delete;

  // The slave, "/dev/pts/N"; "" when the terminal could not be made.
  const std::string &path() const { return path_; }
  // The name the library is given, "pts/N".
  std::string name() const { return path_.substr(sizeof("/dev/") - 1); }
  dev_t number() const {
    struct stat info {};
    return stat(path_.c_str(), &info) == 0 ? info.st_rdev : 0;
  }
  // The master, non-blocking.
  int master() const { return master_; }

  bool nothing_sent() const {
    char byte = 0;
    return read(master_, &byte, 1) < 0 && errno == EAGAIN;
  }
  void drain() const {
    char bytes[4096];
    while (read(master_, bytes, sizeof(bytes)) > 0) {
    }
  }

private:
  int master_ = -1;
  std::string path_;
};
