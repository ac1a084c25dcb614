// Keeps the simulator's own pseudo-terminal usable after a client that set
// its exclusive flag has gone without clearing it.
//
// A pseudo-terminal keeps its exclusive flag (TIOCEXCL) for as long as its
// master is open, so a client that is killed, or ends without closing, would
// leave the port "held by another program" for as long as the simulator
// runs. The kernel reports the last close of every open file of the slave
// (inotify), also when a process dies; at each, while the flag is set, the
// watch looks through the open files of every process it may see (/proc)
// for one on the slave, and when there is none but the simulator's own,
// clears the flag through that. A client that still has the slave open
// keeps its flag. (Counting opens and closes instead would not do: the
// kernel merges identical events that have not been read yet.)
#pragma once

#include <string>
#include <sys/types.h>
#include <thread>

namespace korvel::sim {

class SlaveOpenWatch {
public:
  // Starts watching; slave_fd is the simulator's own descriptor of the slave
  // and stays open for the watch's lifetime. Throws std::runtime_error when
  // the system will not watch the slave.
  SlaveOpenWatch(const std::string &slave_path, int slave_fd);
  ~SlaveOpenWatch();
  SlaveOpenWatch(const SlaveOpenWatch &) = delete;
  SlaveOpenWatch &operator=(const SlaveOpenWatch &) = delete;

private:
  void run();
  // Reads away the events queued so far: they only say that it is time to
  // look.
  void drain_events();
  // Whether a process other than this one (or this one through another
  // descriptor than slave_fd_) has the slave open.
  bool held_elsewhere() const;
  // Clears a flag that no open client holds any more; true when the flag
  // stays because a client still has the slave open.
  bool settle();

  int slave_fd_;
  dev_t slave_device_ = 0;
  ino_t slave_inode_ = 0;
  int events_fd_ = -1;
  int stop_fd_ = -1;
  std::thread thread_;
};

} // namespace korvel::sim
