// A link that changes while the library opens a port: the device opened must
// be the device that was checked. A thread flips a link below /dev/shm
// between a pseudo-terminal and the process's own controlling terminal,
// which the library refuses when it is asked for directly.
#include "korvel_dll.h"
#include "plain_pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kOpens = 10000;

struct SwapCounts {
  bool set_up = false;
  int tried = 0;
  int refused = 0;
  int port = 0;
  int refused_node = 0;
  int other = 0;
};

dev_t device_of(MDB_IF_HANDLE handle) {
  struct stat info {};
  const auto fd = static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
  return fstat(fd, &info) == 0 ? info.st_rdev : 0;
}

// Runs in a child of its own session, whose controlling terminal is a fresh
// pseudo-terminal.
SwapCounts open_while_swapping() {
  SwapCounts counts;
  const PlainPty port;
  const PlainPty terminal;
  if (port.path().empty() || terminal.path().empty() || setsid() < 0) {
    return counts;
  }
  // Opened without O_NOCTTY by a session leader: the controlling terminal.
  const int controlling = open(terminal.path().c_str(), O_RDWR);
  char dir[] = "/dev/shm/kXXXXXX";
  if (controlling < 0 || tcgetsid(controlling) != getpid() || mkdtemp(dir) == nullptr) {
    return counts;
  }
  MDB_IF_HANDLE handle = nullptr;
  errno = 0;
  const bool refused_directly =
      MDB_IF_OpenInterface(terminal.name().c_str(), &handle) == MDB_IF_OPEN_OR_CRC_ERROR &&
      errno == ENOTTY;

  const std::string link = std::string(dir) + "/p";
  const std::string spare = std::string(dir) + "/q";
  const std::string name = link.substr(sizeof("/dev/") - 1);
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (bool to_terminal = false; !stop; to_terminal = !to_terminal) {
      (void)!symlink((to_terminal ? terminal : port).path().c_str(), spare.c_str());
      (void)rename(spare.c_str(), link.c_str());
    }
  });
  const dev_t port_device = port.number();
  const dev_t terminal_device = terminal.number();
  for (int i = 0; i < kOpens; ++i) {
    ++counts.tried;
    if (MDB_IF_OpenInterface(name.c_str(), &handle) != MDB_IF_OK) {
      ++counts.refused;
      continue;
    }
    const dev_t opened = device_of(handle);
    ++(opened == port_device       ? counts.port
       : opened == terminal_device ? counts.refused_node
                                   : counts.other);
    MDB_IF_CloseInterface(handle);
  }
  stop = true;
  flipper.join();
  (void)unlink(link.c_str());
  (void)unlink(spare.c_str());
  (void)rmdir(dir);
  counts.set_up = refused_directly;
  return counts;
}

TEST(OpenRace, ALinkSwappedDuringTheOpenNeverYieldsTheRefusedNode) {
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(results[0]);
    // Closing the terminal's master at the end hangs the session up.
    signal(SIGHUP, SIG_IGN);
    const SwapCounts counts = open_while_swapping();
    _exit(write(results[1], &counts, sizeof(counts)) == sizeof(counts) ? 0 : 1);
  }
  close(results[1]);
  SwapCounts counts;
  const bool reported = read(results[0], &counts, sizeof(counts)) == sizeof(counts);
  close(results[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(reported);
  ASSERT_TRUE(counts.set_up) << "no controlling terminal of its own, or it was not refused";
  std::printf("opens tried %d: refused %d, the port %d, the controlling terminal %d, other %d\n",
              counts.tried, counts.refused, counts.port, counts.refused_node, counts.other);
  EXPECT_EQ(counts.refused_node, 0);
  EXPECT_EQ(counts.other, 0);
  EXPECT_GT(counts.port, 0) << "the link never led to the port";
  EXPECT_GT(counts.refused, 0) << "the link never led to the terminal";
}

} // namespace
