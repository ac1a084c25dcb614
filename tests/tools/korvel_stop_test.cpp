// korvel stopped by a signal while its exec waits for a silent korvel-sim:
// the call ends, the interface is closed, the program ends with 128 plus the
// signal's number, and the port opens again at once, exclusive flag clear.
#include "korvel_dll.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace tool_test {
namespace {

constexpr std::chrono::milliseconds kInsideTheCall{300};
constexpr std::chrono::seconds kStopTimeout{10};

// Killed while it held the port, korvel would leave TIOCEXCL set on the
// pseudo-terminal for as long as korvel-sim holds the other end. Root opens
// it all the same, so the flag itself is looked at.
bool exclusive_flag_set(const std::string &port) {
  const int fd = ::open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = -1;
  if (fd >= 0) {
    ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
  }
  return exclusive != 0;
}

TEST(KorvelStopped, BySigintOrSigtermClosesTheInterfaceFirst) {
  SimTool sim({"--silent"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  for (const auto &[signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    BackgroundProcess korvel({KORVEL_CLI, "exec", sim.port(), "0A"});
    std::this_thread::sleep_for(kInsideTheCall);
    korvel.send_signal(signal);
    EXPECT_EQ(korvel.wait_for_exit(kStopTimeout), status) << korvel.output() << korvel.errors();
    EXPECT_NE(korvel.output().find("MDB_IF_ExecCommand -> 4 (no reply in time (or status 0xFC))\n"
                                   "MDB_IF_CloseInterface -> 0 (success)\n"),
              std::string::npos)
        << korvel.output();
    EXPECT_NE(korvel.errors().find("korvel: stopping once the library call in progress ends"),
              std::string::npos)
        << korvel.errors();
    EXPECT_FALSE(exclusive_flag_set(sim.port()));
    const ProcessResult next = run_korvel({"reset", sim.port()});
    EXPECT_NE(next.output.find("MDB_IF_OpenInterface(" + sim.port() + ") -> 0 (success)"),
              std::string::npos)
        << next.output;
  }
}

} // namespace
} // namespace tool_test
