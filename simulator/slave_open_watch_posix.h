// Keeps the simulator's own pseudo-terminal usable after a client that set
// its exclusive flag has gone without clearing it.
//
// A pseudo-terminal keeps its exclusive flag (TIOCEXCL) for as long as its
// master is open, so a client that is killed, or ends without closing, would
// leave the port "held by another program" for as long as the simulator
// runs. The watch counts the opens and closes of the slave as the kernel
// reports them (inotify reports every open and the last close of each open
// file, also when a process dies), and once no other program has the slave
// open, clears a flag left set through the simulator's own slave
// descriptor. A client that still has the slave open keeps its flag.
#pragma once

#include <string>
#include <thread>

namespace korvel::sim {

class SlaveOpenWatch {
public:
  // Starts watching; slave_fd is the simulator's own descriptor of the slave,
  // opened before the watch, and stays open for the watch's lifetime.
  // Throws std::runtime_error when the system will not watch the slave.
  SlaveOpenWatch(const std::string &slave_path, int slave_fd);
  ~SlaveOpenWatch();
  SlaveOpenWatch(const SlaveOpenWatch &) = delete;
  SlaveOpenWatch &operator=(const SlaveOpenWatch &) = delete;

private:
  void run();
  // Reads every event queued so far into the count of open files.
  void drain_events();
  // Clears a flag that no open client holds any more.
  void settle();

  int slave_fd_;
  int events_fd_ = -1;
  int stop_fd_ = -1;
  // Open files of the slave other than the simulator's own.
  long client_opens_ = 0;
  // False once events were lost (the kernel's queue overflowed): the count
  // cannot be trusted then, and no flag is cleared any more.
  bool counting_ = true;
  std::thread thread_;
};

} // namespace korvel::sim
