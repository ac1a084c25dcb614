// korvel.exe and the Windows DLL under Wine, against korvel-sim on COM ports
// of the Wine session's prefix: the way a person tries the Windows build.
#include "host_run.h"
#include "korvel_dll.h"
#include "sim_adapter.h"
#include "tool_process.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tool_test {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kWineRunTimeout{60};
constexpr std::chrono::seconds kUnlistTimeout{10};
constexpr std::chrono::milliseconds kUnlistPoll{100};
constexpr const char *kSerialCommKey = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// With the line ends as Linux writes them: korvel.exe writes its text in
// text mode, "\r\n".
ProcessResult run_korvel_exe(const std::vector<std::string> &args) {
  std::vector<std::string> argv{KORVEL_CLI_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult run = WineSession::get().run_windows_program(argv, kWineRunTimeout);
  for (std::string *text : {&run.output, &run.errors}) {
    std::erase(*text, '\r');
  }
  return run;
}

// The port list a scan reads, as Wine's reg prints it.
std::string serial_ports() {
  return WineSession::get()
      .run_windows_program({"reg", "query", kSerialCommKey}, kWineRunTimeout)
      .output;
}

bool unlisted_in_time(const std::string &line) {
  const auto deadline = std::chrono::steady_clock::now() + kUnlistTimeout;
  while (contains(serial_ports(), line)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kUnlistPoll);
  }
  return true;
}

TEST(ToolsUnderWine, KorvelExeDrivesKorvelSimOnCom5) {
  ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
  ASSERT_TRUE(fs::exists(KORVEL_CLI_EXE)) << KORVEL_CLI_EXE << ": build the windows preset first";
  // The session has put its prefix in WINEPREFIX, where korvel-sim links COM5.
  const fs::path com5 = fs::path(std::getenv("WINEPREFIX")) / "dosdevices" / "com5";
  SimTool sim({"--wine-com", "5", "--reply", "0A0B=00112233"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  EXPECT_EQ(fs::read_symlink(com5), "/dev/" + sim.port());

  const ProcessResult version = run_korvel_exe({"version", "COM5"});
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output << version.errors;
  EXPECT_TRUE(contains(version.output, std::string("version: ") + korvel::sim::kDefaultVersionText))
      << version.output;

  const ProcessResult exec = run_korvel_exe({"-v", "exec", "COM5", "0A0B"});
  EXPECT_EQ(exec.exit_code, kExitSuccess) << exec.output << exec.errors;
  EXPECT_TRUE(contains(exec.output, "reply (4 bytes): 00 11 22 33")) << exec.output;

  const ProcessResult unlinked = run_korvel_exe({"reset", "COM6"});
  EXPECT_EQ(unlinked.exit_code, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR) << unlinked.output;
  EXPECT_TRUE(contains(unlinked.output, "could not open COM6: no such port")) << unlinked.output;
  const ProcessResult refused = run_korvel_exe({"exec", "COM5", "0A0"});
  EXPECT_EQ(refused.exit_code, kExitUsage) << refused.output;
  EXPECT_TRUE(contains(refused.errors, "korvel: not hex bytes: '0A0': give whole bytes in hex"))
      << refused.errors;
  EXPECT_TRUE(contains(refused.errors, "\nsee korvel --help")) << refused.errors;

  EXPECT_EQ(sim.stop(SIGTERM), kExitSuccess);
  EXPECT_TRUE(contains(sim.process().output(), "request 0A 0B -> reply 00 11 22 33"))
      << sim.process().output();
  EXPECT_FALSE(fs::exists(fs::symlink_status(com5))) << "the link goes with korvel-sim";
}

TEST(ToolsUnderWine, KorvelExeScanNamesThePortThatIdentifiesItself) {
  ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
  SimTool mute({"--wine-com", "5", "--silent"});
  SimTool adapter({"--wine-com", "6", "--identify"});
  ASSERT_NE(mute.port(), "") << mute.process().errors();
  ASSERT_NE(adapter.port(), "") << adapter.process().errors();
  // The port list the scan reads, set up by the library's own Wine test host.
  const HostRun listing = run_host({"reg-clear", "reg-sz port0 COM5", "reg-sz port1 COM6"});
  ASSERT_TRUE(listing.completed()) << listing.transcript();

  // The outcome of each probe follows once the scan is over: Windows shows
  // no process which ports it has open.
  const ProcessResult found = run_korvel_exe({"-v", "scan"});
  EXPECT_EQ(found.exit_code, kExitSuccess) << found.output << found.errors;
  EXPECT_TRUE(contains(found.output,
                       "probing 2 ports, about 0.5 s each if silent, in this order: COM5, COM6\n"
                       "  COM5: did not identify itself\n"
                       "  COM6: identified itself as the adapter\n"
                       "MDB_IF_ScanInterface -> 0 (the scan ran: an adapter identified itself)"))
      << found.output;
  EXPECT_TRUE(contains(found.output, "\nadapter on COM6\n")) << found.output;

  EXPECT_EQ(adapter.stop(SIGTERM), kExitSuccess);
  const ProcessResult missing = run_korvel_exe({"scan"});
  EXPECT_EQ(missing.exit_code, kExitNothingFound) << missing.output << missing.errors;
  EXPECT_TRUE(contains(missing.output, "MDB_IF_ScanInterface -> 0 (the scan ran: no port "
                                       "identified itself)\nno adapter answered: none of the 2 "
                                       "ports probed identified itself\n"))
      << missing.output;

  const HostRun cleared = run_host({"reg-clear"});
  ASSERT_TRUE(cleared.completed()) << cleared.transcript();
  const ProcessResult nothing = run_korvel_exe({"scan"});
  EXPECT_EQ(nothing.exit_code, kExitNothingFound) << nothing.output << nothing.errors;
  EXPECT_TRUE(contains(nothing.output, "no port to probe\nMDB_IF_ScanInterface -> 0 (the scan "
                                       "ran, but no port was listed: nothing was probed)\n"
                                       "nothing was probed: SERIALCOMM"))
      << nothing.output;
}

TEST(ToolsUnderWine, KorvelExePortsListsSerialcommAsAScanWalksIt) {
  ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
  // Wine gives a key's values in name order: long, number, port0. Whatever
  // its SetupAPI knows of the ports, the listing goes through.
  const HostRun listing =
      run_host({"reg-clear", "reg-sz port0 COM5", "reg-dword number 9", "reg-sz long COM12345"});
  ASSERT_TRUE(listing.completed()) << listing.transcript();
  const ProcessResult ports = run_korvel_exe({"-v", "ports"});
  EXPECT_EQ(ports.exit_code, kExitSuccess) << ports.output << ports.errors;
  EXPECT_TRUE(contains(ports.output, "1 port that a scan probes, in its order:\nCOM5      port0"))
      << ports.output;
  EXPECT_TRUE(contains(ports.output, "2 that a scan leaves out:\n"
                                     "COM12345  long; left out: a name of 8 characters: a scan "
                                     "lists names of at most 7"))
      << ports.output;
  EXPECT_TRUE(contains(ports.output, "\nnumber    number; left out: a registry value of type 4, "
                                     "not a string: a scan skips it\n"))
      << ports.output;

  const ProcessResult json = run_korvel_exe({"--json", "ports"});
  EXPECT_EQ(json.exit_code, kExitSuccess) << json.output << json.errors;
  EXPECT_TRUE(contains(json.output, R"j([
  {"name": "COM5", "scanned": true, "left_out": null, "device": "port0", )j"))
      << json.output;
  EXPECT_FALSE(contains(json.output, "COM12345")) << "left out without -v";
}

TEST(ToolsUnderWine, KorvelSimListsItsPortForScansOnlyWhileItRuns) {
  ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
  // The prefix lists its own COM1, which is this machine's /dev/ttyS0: only
  // what korvel-sim lists may be probed.
  const HostRun cleared = run_host({"reg-clear"});
  ASSERT_TRUE(cleared.completed()) << cleared.transcript();
  const std::string listed = "\\Device\\KorvelSim7    REG_SZ    COM7";
  SimTool adapter({"--wine-com", "7", "--identify"});
  ASSERT_NE(adapter.port(), "") << adapter.process().errors();
  EXPECT_TRUE(contains(serial_ports(), listed)) << serial_ports() << adapter.process().errors();

  const ProcessResult found = run_korvel_exe({"scan"});
  EXPECT_EQ(found.exit_code, kExitSuccess) << found.output << found.errors;
  EXPECT_TRUE(contains(found.output, "adapter on COM7")) << found.output;
  EXPECT_EQ(adapter.stop(SIGTERM), kExitSuccess);
  EXPECT_FALSE(contains(serial_ports(), listed)) << "the listing goes before korvel-sim exits";

  // Killed outright, korvel-sim cannot withdraw the listing; its keeper does.
  SimTool killed({"--wine-com", "7"});
  ASSERT_NE(killed.port(), "") << killed.process().errors();
  EXPECT_TRUE(contains(serial_ports(), listed)) << serial_ports();
  killed.stop(SIGKILL);
  EXPECT_TRUE(unlisted_in_time(listed)) << serial_ports();
}

} // namespace
} // namespace tool_test
