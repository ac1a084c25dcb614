// What the Win32 port backend asks of the system, read back exactly:
// port_calls_host.exe runs it under Wine over stand-ins for the kernel32 port
// calls. Wine itself forgets part of a port's settings (fNull) when the port
// closes, so a fresh open could not show them.
#include "port/serial_port.h"
#include "wine_test.h"

#include <map>
#include <sstream>

namespace wine_test {
namespace {

constexpr const char *kPortCallsHostExe = KORVEL_PORT_CALLS_HOST_EXE;
constexpr long kAllBitsSet = 0xFFFFFFFFL; // MAXDWORD: reads return at once

// The steps by name, of one run shared by the tests.
const std::map<std::string, HostStep> &run_port_calls() {
  static const std::map<std::string, HostStep> steps = [] {
    const ProcessResult run =
        WineSession::get().run_windows_program({kPortCallsHostExe}, std::chrono::seconds(60));
    EXPECT_EQ(run.exit_code, 0) << run.output << run.errors;
    std::map<std::string, HostStep> by_name;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
      const HostStep step(line);
      by_name.emplace(step.op(), step);
    }
    return by_name;
  }();
  return steps;
}

using WinePortCalls = WineTest;

TEST_F(WinePortCalls, TheLineIsTransparentAndNoWriteWaitsForEverWhateverWasLeftSet) {
  const std::map<std::string, HostStep> &steps = run_port_calls();
  for (const char *role : {"interface", "probe"}) {
    SCOPED_TRACE(role);
    ASSERT_EQ(steps.count(role), 1U);
    const HostStep &step = steps.at(role);
    EXPECT_EQ(step.number("dcb_writes"), 1);
    EXPECT_EQ(step.number("baud"), static_cast<long>(korvel::port::kBaudRate));
    EXPECT_EQ(step.number("data_bits"), 8);
    EXPECT_EQ(step.number("no_parity"), 1);
    EXPECT_EQ(step.number("one_stop_bit"), 1);
    EXPECT_EQ(step.number("binary"), 1);
    for (const char *flag : {"cts", "dsr", "outx", "inx", "null", "errorchar", "abort"}) {
      EXPECT_EQ(step.number(flag), 0) << flag << " left set";
    }
    EXPECT_EQ(step.number("timeout_writes"), 1);
    EXPECT_EQ(step.number("read_interval"), kAllBitsSet);
    EXPECT_EQ(step.number("read_multiplier"), 0);
    EXPECT_EQ(step.number("read_constant"), 0);
    EXPECT_EQ(step.number("write_multiplier"), 0);
    EXPECT_EQ(step.number("write_constant"), static_cast<long>(korvel::port::kWriteTimeoutMs));
  }
  // The interface sets its modem lines; a probe leaves them as they were.
  EXPECT_EQ(steps.at("interface").field("dtr"), "on");
  EXPECT_EQ(steps.at("interface").field("rts"), "off");
  EXPECT_EQ(steps.at("interface").number("dsr_sensitive"), 0);
  EXPECT_EQ(steps.at("probe").field("dtr"), "handshake");
  EXPECT_EQ(steps.at("probe").field("rts"), "toggle");
  EXPECT_EQ(steps.at("probe").number("dsr_sensitive"), 1);

  ASSERT_EQ(steps.count("restore"), 1U);
  EXPECT_EQ(steps.at("restore").number("dcb"), 1) << "the probe changed the line settings";
  EXPECT_EQ(steps.at("restore").number("timeouts"), 1) << "the probe changed the timeouts";
}

TEST_F(WinePortCalls, AShortWriteFailsAtOnceAndOpensAreRefusedOrAnonymous) {
  const std::map<std::string, HostStep> &steps = run_port_calls();
  ASSERT_EQ(steps.count("write"), 1U);
  // A write to a port ends short only when its timeout ran out.
  EXPECT_EQ(steps.at("write").number("short"), -1);
  EXPECT_EQ(steps.at("write").number("short_calls"), 1);
  EXPECT_EQ(steps.at("write").number("whole"), 10);

  ASSERT_EQ(steps.count("open"), 1U);
  const HostStep &open = steps.at("open");
  EXPECT_EQ(open.result(), 0);
  EXPECT_EQ(open.number("anonymous"), 1) << "a pipe's server could act for the host";
  // Each count covers the interface's and the probe's name.
  EXPECT_EQ(open.number("com3"), 0);
  EXPECT_EQ(open.number("backslash"), 2);
  EXPECT_EQ(open.number("slash"), 2);
  EXPECT_EQ(open.number("trailing"), 2);
}

} // namespace
} // namespace wine_test
