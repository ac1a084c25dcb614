// korvel-sim.exe, the Windows build of the simulated adapter, under Wine:
// served on COM11, one end of a stand-in for a virtual null-modem pair
// (socat joining two pseudo-terminals), while korvel.exe and the library's
// Wine test host use the DLL on the other end, COM10.
#include "host_run.h"
#include "korvel_dll.h"
#include "sim_adapter.h"
#include "tool_process.h"
#include "wine_paths.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace tool_test {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kWineRunTimeout{60};
constexpr std::chrono::seconds kPairTimeout{5};
constexpr std::chrono::milliseconds kPairPoll{10};
// korvel-sim.exe stops on Ctrl-C, which Wine makes of SIGINT.
constexpr int kCtrlC = SIGINT;
constexpr const char *kHostPort = "COM10";
constexpr const char *kSimPort = "COM11";
// What a 64-bit Windows program may import and every Windows has.
const std::set<std::string> kSystemDlls = {"kernel32.dll", "msvcrt.dll", "advapi32.dll"};

ProcessResult run_korvel_exe(const std::vector<std::string> &args) {
  std::vector<std::string> argv{KORVEL_CLI_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return WineSession::get().run_windows_program(argv, kWineRunTimeout);
}

ProcessResult run_sim_exe(const std::vector<std::string> &args) {
  std::vector<std::string> argv{KORVEL_SIM_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return WineSession::get().run_windows_program(argv, kWineRunTimeout);
}

std::string utf16_text(const std::string &text) {
  std::string wide;
  for (const char c : text + '\0') {
    wide += c;
    wide += '\0';
  }
  return wide;
}

// What a Windows program printed, its line ends made Unix ones.
std::string unix_lines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// A Unix path as a Windows program under Wine names it, on drive Z:.
std::string windows_path(const std::string &path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

// korvel-sim.exe --device COM11 with the options, under Wine.
class SimExe : public SimTool {
public:
  explicit SimExe(std::vector<std::string> options)
      : SimTool({kWine64, KORVEL_SIM_EXE}, with_device(std::move(options)), windows_path) {}

private:
  static std::vector<std::string> with_device(std::vector<std::string> options) {
    options.insert(options.begin(), {"--device", kSimPort});
    return options;
  }
};

bool wait_for_link(const fs::path &path) {
  const auto deadline = std::chrono::steady_clock::now() + kPairTimeout;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPairPoll);
  }
  return true;
}

// Two pseudo-terminals joined by socat, as a virtual null-modem pair joins
// two COM ports: COM10 of the session's prefix on one end, COM11 on the
// other.
class SimExeUnderWine : public testing::Test {
protected:
  std::string scratch_dir() const { return dir_.string(); }

  void SetUp() override {
    ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
    ASSERT_TRUE(fs::exists(KORVEL_SIM_EXE)) << KORVEL_SIM_EXE << ": build the windows preset";
    ASSERT_TRUE(fs::exists(KORVEL_SOCAT)) << "socat is not installed";
    std::string dir = (fs::temp_directory_path() / "korvel-pair-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    const fs::path host_end = dir_ / "host";
    const fs::path sim_end = dir_ / "sim";
    cable_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{KORVEL_SOCAT, "pty,raw,echo=0,link=" + host_end.string(),
                                 "pty,raw,echo=0,link=" + sim_end.string()});
    ASSERT_TRUE(wait_for_link(host_end) && wait_for_link(sim_end)) << cable_->errors();
    links_.push_back(WineSession::get().link_port(kHostPort, host_end.string()));
    links_.push_back(WineSession::get().link_port(kSimPort, sim_end.string()));
  }

  void TearDown() override {
    links_.clear();
    if (cable_) {
      cable_->send_signal(SIGTERM);
      cable_->wait_for_exit(kPairTimeout);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

private:
  fs::path dir_;
  std::unique_ptr<BackgroundProcess> cable_;
  std::vector<PortLink> links_;
};

TEST(ToolsUnderWine, KorvelSimExeImportsOnlySystemDllsAndCarriesTheVersion) {
  ASSERT_TRUE(fs::exists(KORVEL_SIM_EXE)) << KORVEL_SIM_EXE << ": build the windows preset";
  const ProcessResult headers = run_process({kMingwObjdump, "-p", KORVEL_SIM_EXE}, kToolTimeout);
  ASSERT_EQ(headers.exit_code, 0) << headers.errors;
  std::istringstream lines(headers.output);
  std::size_t imported = 0;
  for (std::string line; std::getline(lines, line);) {
    if (const std::size_t at = line.find("DLL Name: "); at != std::string::npos) {
      std::string dll = line.substr(at + std::string("DLL Name: ").size());
      std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
      EXPECT_EQ(kSystemDlls.count(dll), 1U) << "imports " << dll;
      ++imported;
    }
  }
  EXPECT_GT(imported, 0U);
  // The resource's texts are UTF-16, each ending in a zero character.
  std::ifstream file(KORVEL_SIM_EXE, std::ios::binary);
  const std::string program{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  for (const std::string &text :
       {std::string(KORVEL_PROJECT_VERSION), std::string("korvel-sim.exe")}) {
    EXPECT_TRUE(contains(program, utf16_text(text))) << "no " << text << " in the version resource";
  }
}

TEST_F(SimExeUnderWine, KorvelSimExeAnswersKorvelExeOnTheOtherEndAndStopsOnCtrlC) {
  SimExe sim({"--reply", "0A0B=00112233", "--wire"});
  ASSERT_EQ(sim.port(), kSimPort) << sim.process().errors();

  const ProcessResult version = run_korvel_exe({"version", kHostPort});
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output << version.errors;
  EXPECT_TRUE(contains(version.output, std::string("version: ") + korvel::sim::kDefaultVersionText))
      << version.output;
  const ProcessResult exec = run_korvel_exe({"exec", kHostPort, "0A0B"});
  EXPECT_EQ(exec.exit_code, kExitSuccess) << exec.output << exec.errors;
  EXPECT_TRUE(contains(exec.output, "reply (4 bytes): 00 11 22 33")) << exec.output;

  EXPECT_EQ(sim.stop(kCtrlC), kExitSuccess);
  const std::string log = unix_lines(sim.process().output());
  EXPECT_TRUE(contains(log, "port COM11 (device \\\\.\\COM11)")) << log;
  EXPECT_TRUE(contains(log, "request 0A 0B -> reply 00 11 22 33\n")) << log;
  EXPECT_TRUE(contains(log, "  wire in  02 00 30 0A 0B")) << log;
  EXPECT_TRUE(contains(log, "korvel-sim: served 2 requests\n")) << log;
  EXPECT_FALSE(fs::exists(sim.port_file())) << "the port file goes with korvel-sim";
}

struct ExeFault {
  std::vector<std::string> options;
  int result;
  std::string logged;
};

TEST_F(SimExeUnderWine, KorvelSimExeFaultsReachTheDllAsTheyDoFromTheLinuxBuild) {
  const ExeFault faults[] = {
      {{"--crc-errors", "1"}, MDB_IF_OPEN_OR_CRC_ERROR, "[crc-error]"},
      {{"--silent"}, MDB_IF_TIMEOUT, "-> no reply [silence]"},
      {{"--reply", "0A=0011", "--delay", "60", "--noise", "5", "--pieces", "3", "--pause", "4"},
       MDB_IF_OK,
       "[delay 60 ms, noise 5 bytes, pieces of 3 bytes, 4 ms apart]"},
  };
  for (const ExeFault &fault : faults) {
    SCOPED_TRACE(testing::PrintToString(fault.options));
    SimExe sim(fault.options);
    ASSERT_EQ(sim.port(), kSimPort) << sim.process().errors();
    const HostRun run = run_host({std::string("open ") + kHostPort, "exec #1 0A 16", "close #1"});
    ASSERT_TRUE(run.completed()) << run.transcript();
    EXPECT_EQ(run.steps[1].result(), fault.result) << run.transcript();
    if (fault.result == MDB_IF_OK) {
      EXPECT_EQ(run.steps[1].bytes("reply"), (std::vector<std::uint8_t>{0x00, 0x11}));
    }
    EXPECT_EQ(sim.stop(kCtrlC), kExitSuccess);
    EXPECT_TRUE(contains(sim.process().output(), fault.logged)) << sim.process().output();
  }
}

TEST_F(SimExeUnderWine, KorvelExeScanFindsKorvelSimExeWhereItsPairIsListed) {
  SimExe sim({"--identify"});
  ASSERT_EQ(sim.port(), kSimPort) << sim.process().errors();
  // The host's end listed as a serial driver lists its ports.
  const HostRun listing = run_host({"reg-clear", std::string("reg-sz port0 ") + kHostPort});
  ASSERT_TRUE(listing.completed()) << listing.transcript();
  const ProcessResult found = run_korvel_exe({"scan"});
  EXPECT_EQ(found.exit_code, kExitSuccess) << found.output << found.errors;
  EXPECT_TRUE(contains(found.output, std::string("adapter on ") + kHostPort)) << found.output;
  EXPECT_EQ(sim.stop(kCtrlC), kExitSuccess);
  const HostRun cleared = run_host({"reg-clear"});
  EXPECT_TRUE(cleared.completed()) << cleared.transcript();
}

std::string read_file(const fs::path &path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// korvel-sim.exe between the host's COM10 and an adapter on COM12 (the
// Linux korvel-sim's pseudo-terminal), recording; then the transcript played
// back by korvel-sim.exe itself.
TEST_F(SimExeUnderWine, KorvelSimExeTapsTheLineRecordsItAndReplaysTheTranscript) {
  SimTool adapter({"--reply", "0A=0011"});
  ASSERT_NE(adapter.port(), "") << adapter.process().errors();
  const PortLink com12 = WineSession::get().link_port("COM12", "/dev/" + adapter.port());
  const std::string transcript = scratch_dir() + "/session.txt";
  {
    SimExe tap({"--tap", "COM12", "--record", windows_path(transcript)});
    ASSERT_EQ(tap.port(), kSimPort) << tap.process().errors();
    const ProcessResult exec = run_korvel_exe({"exec", kHostPort, "0A"});
    EXPECT_EQ(exec.exit_code, kExitSuccess) << exec.output << exec.errors;
    EXPECT_TRUE(contains(exec.output, "reply (2 bytes): 00 11")) << exec.output;
    EXPECT_EQ(tap.stop(kCtrlC), kExitSuccess);
    const std::string log = unix_lines(tap.process().output());
    EXPECT_TRUE(contains(log, " request 0A\n")) << log;
    EXPECT_TRUE(contains(log, " reply 00 11, ")) << log;
    EXPECT_TRUE(contains(log, "korvel-sim: passed on 1 request and 1 reply\n")) << log;
  }
  const std::string recorded = unix_lines(read_file(transcript));
  EXPECT_TRUE(recorded.starts_with("korvel-transcript 1\n")) << recorded;
  EXPECT_TRUE(contains(recorded, " > 02 00 30 0A 68 43 03  # request 0A\n")) << recorded;
  EXPECT_TRUE(contains(recorded, " < 02 00 00 00 11 86 D0 03  # reply 00 11\n")) << recorded;

  SimExe replay({"--replay", windows_path(transcript)});
  ASSERT_EQ(replay.port(), kSimPort) << replay.process().errors();
  const ProcessResult replayed = run_korvel_exe({"exec", kHostPort, "0A"});
  EXPECT_TRUE(contains(replayed.output, "reply (2 bytes): 00 11")) << replayed.output;
  EXPECT_EQ(replay.stop(kCtrlC), kExitSuccess);
  EXPECT_TRUE(contains(replay.process().output(), "request 0A -> reply 00 11 [transcript line "))
      << replay.process().output();
}

struct ExeRefusal {
  std::vector<std::string> args;
  int exit_code;
  std::string says;
};

TEST_F(SimExeUnderWine, KorvelSimExeSaysWhyItCannotServe) {
  const ExeRefusal refusals[] = {
      {{}, kExitUsage, "on Windows korvel-sim needs --device COMn"},
      {{"--wine-com", "5", "--device", kSimPort},
       kExitUsage,
       "--wine-com is for korvel-sim on Linux"},
      {{"--device", "COM12"}, kExitSetupFailed, "COM12: no such port"},
      {{"--device", "NUL"}, kExitSetupFailed, "NUL: not a serial port"},
  };
  for (const ExeRefusal &refusal : refusals) {
    SCOPED_TRACE(testing::PrintToString(refusal.args));
    const ProcessResult run = run_sim_exe(refusal.args);
    EXPECT_EQ(run.exit_code, refusal.exit_code) << run.output << run.errors;
    EXPECT_TRUE(contains(run.errors, "korvel-sim: " + refusal.says)) << run.errors;
  }
}

} // namespace
} // namespace tool_test
