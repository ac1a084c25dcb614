// korvel-sim as a person or a script drives it: announced port, answers from
// the command line, injected faults, the log of the line, and stopping.
#include "hex_text.h"
#include "korvel_dll.h"
#include "link/frame.h"
#include "sim_adapter.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tool_test {
namespace {

using korvel::tools::format_hex;

constexpr std::chrono::seconds kSelfExitTimeout{10};
// How soon the port opens again after a client died holding it.
constexpr std::chrono::seconds kReopenBound{1};
constexpr const char *kStty = "/usr/bin/stty";

std::string text_hex(const std::string &text) {
  return format_hex(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

// The log lines of the exchanges, without their timestamps.
std::vector<std::string> exchange_lines(const std::string &output) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    if (const std::size_t request = line.find("request "); request != std::string::npos) {
      lines.push_back(line.substr(request));
    }
  }
  return lines;
}

TEST(KorvelSim, AnswersFromTheCommandLineLogsTheLineAndStopsOnSigterm) {
  SimTool sim({"--reply", "0A0B=00112233", "--version-text", "TEST 2.5"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();

  const ProcessResult version = run_korvel({"version", sim.port()});
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output;
  EXPECT_TRUE(contains(version.output, "version: TEST 2.5")) << version.output;
  const ProcessResult table = run_korvel({"exec", sim.port(), "0A0B"});
  EXPECT_TRUE(contains(table.output, "reply (4 bytes): 00 11 22 33")) << table.output;
  const ProcessResult other = run_korvel({"exec", sim.port(), "0C"});
  EXPECT_TRUE(contains(other.output, "reply (1 byte): 00")) << other.output;

  EXPECT_EQ(sim.stop(SIGTERM), kExitSuccess);
  const std::string log = sim.process().output();
  EXPECT_TRUE(contains(log, "port " + sim.port() + " (device /dev/" + sim.port() + ")")) << log;
  EXPECT_EQ(
      exchange_lines(log),
      (std::vector<std::string>{"request 01 -> reply 00 " + text_hex("TEST 2.5"),
                                "request 0A 0B -> reply 00 11 22 33", "request 0C -> reply 00"}))
      << log;
  EXPECT_TRUE(contains(log, "served 3 requests")) << log;
  EXPECT_FALSE(std::filesystem::exists(sim.port_file()));
}

TEST(KorvelSim, IdentifiesItselfOnRequestAndExitsByItselfAfterTheGivenRequests) {
  SimTool sim({"--identify", "--exit-after", "3"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();

  const ProcessResult identification = run_korvel({"exec", sim.port(), "01"});
  EXPECT_TRUE(contains(identification.output, text_hex(korvel::sim::kIdentificationText)))
      << identification.output;
  // Without a status byte in front, the version call reads 'M' as a status;
  // korvel then sends the command once more as an exec, to show the reply.
  const ProcessResult version = run_korvel({"version", sim.port()});
  EXPECT_EQ(version.exit_code, kExitResultBase + MDB_IF_LINK_ERROR) << version.output;

  EXPECT_EQ(sim.process().wait_for_exit(kSelfExitTimeout), kExitSuccess);
  EXPECT_TRUE(contains(sim.process().output(), "served 3 requests")) << sim.process().output();
}

struct FaultCase {
  std::vector<std::string> options;
  int exit_code;
  std::string logged;
};

TEST(KorvelSim, InjectsTheFaultsItIsAskedForAndStopsOnCtrlC) {
  const FaultCase cases[] = {
      {{"--crc-errors", "1"}, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR, "[crc-error]"},
      {{"--silent"}, kExitResultBase + MDB_IF_TIMEOUT, "-> no reply [silence]"},
      // The library copes with these.
      {{"--delay", "50", "--noise", "5", "--pieces", "2", "--pause", "3"},
       kExitSuccess,
       "[delay 50 ms, noise 5 bytes, pieces of 2 bytes, 3 ms apart]"},
  };
  for (const FaultCase &fault : cases) {
    SCOPED_TRACE(testing::PrintToString(fault.options));
    SimTool sim(fault.options);
    ASSERT_NE(sim.port(), "") << sim.process().errors();
    const ProcessResult run = run_korvel({"exec", sim.port(), "0A"});
    EXPECT_EQ(run.exit_code, fault.exit_code) << run.output;
    EXPECT_EQ(sim.stop(SIGINT), kExitSuccess);
    EXPECT_TRUE(contains(sim.process().output(), fault.logged)) << sim.process().output();
  }
}

// Writes a request frame for each command; a spoilt one carries a bad CRC.
void send_requests(const std::string &port, const std::vector<std::uint8_t> &commands,
                   bool spoilt = false) {
  const int fd = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  for (const std::uint8_t command : commands) {
    korvel::sim::Bytes frame = korvel::sim::encode_request({command});
    frame[frame.size() - 2] ^= spoilt ? 0x01 : 0x00;
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  close(fd);
}

TEST(KorvelSim, CountsWhatItServedAndWhatItLeftUnansweredInItsLastLine) {
  SimTool sim({"--exit-after", "1"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  send_requests(sim.port(), {0x10}, true);
  send_requests(sim.port(), {0x11});
  EXPECT_EQ(sim.process().wait_for_exit(kSelfExitTimeout), kExitSuccess);
  const std::string log = sim.process().output();
  EXPECT_TRUE(contains(log, " request with a bad CRC, not answered\n")) << log;
  EXPECT_TRUE(contains(log, "korvel-sim: served 1 request; 1 request with a bad CRC was not "
                            "answered\n"))
      << log;
}

// A client that ends without closing (killed here) leaves the exclusive
// flag on korvel-sim's pseudo-terminal, whose master stays open: korvel-sim
// clears it once no program has the port open any more.
TEST(KorvelSim, AClientKilledHoldingThePortLeavesItUsableWhileALiveOneKeepsIt) {
  SimTool sim({});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  int opened[2];
  ASSERT_EQ(pipe(opened), 0);
  const pid_t client = fork();
  if (client == 0) {
    MDB_IF_HANDLE handle = nullptr;
    const char result = static_cast<char>(MDB_IF_OpenInterface(sim.port().c_str(), &handle));
    (void)!write(opened[1], &result, 1);
    pause();
    _exit(0);
  }
  ASSERT_GT(client, 0);
  char result = -1;
  ASSERT_EQ(read(opened[0], &result, 1), 1);
  close(opened[0]);
  close(opened[1]);
  ASSERT_EQ(result, MDB_IF_OK);

  const ProcessResult held = run_korvel({"version", sim.port()});
  EXPECT_EQ(held.exit_code, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR) << held.output;
  EXPECT_TRUE(contains(held.output, "held by another program")) << held.output;

  // As root the flag lets another open through: while that one has the port
  // open, the dead client's flag stays.
  const int other = open(("/dev/" + sim.port()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  kill(client, SIGKILL);
  waitpid(client, nullptr, 0);
  if (other >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kReopenBound) / 2);
    int exclusive = 0;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "cleared while another program had the port open";
    close(other);
  }
  const auto deadline = std::chrono::steady_clock::now() + kReopenBound;
  MDB_IF_HANDLE handle = MDB_IF_INVALID_HANDLE;
  while (MDB_IF_OpenInterface(sim.port().c_str(), &handle) != MDB_IF_OK &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(handle, MDB_IF_INVALID_HANDLE) << "still held " << kReopenBound.count() << " s later";
  char text[64] = {};
  EXPECT_EQ(MDB_IF_GetVersion(handle, text, sizeof(text)), MDB_IF_OK);
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
  EXPECT_EQ(sim.stop(SIGTERM), kExitSuccess);
}

// The faults each of four requests got from a mix seeded with seed.
std::vector<std::string> faults_with_seed(const std::string &seed) {
  SimTool sim({"--faults", seed, "--fault-rate", "1", "--exit-after", "4"});
  EXPECT_NE(sim.port(), "") << sim.process().errors();
  send_requests(sim.port(), {0x10, 0x11, 0x12, 0x13});
  EXPECT_EQ(sim.process().wait_for_exit(kSelfExitTimeout), kExitSuccess);
  return exchange_lines(sim.process().output());
}

TEST(KorvelSim, ASeededFaultMixRepeatsFromRunToRun) {
  const std::vector<std::string> first = faults_with_seed("7");
  ASSERT_EQ(first.size(), 4U);
  for (const std::string &line : first) {
    EXPECT_TRUE(contains(line, "[")) << "a rate of 1 faults every answer: " << line;
  }
  EXPECT_EQ(faults_with_seed("7"), first);
}

bool has_word(const std::string &text, const std::string &word) {
  std::istringstream words(text);
  for (std::string each; words >> each;) {
    if (each == word || each == word + ";") {
      return true;
    }
  }
  return false;
}

bool wait_for_path(const std::filesystem::path &path) {
  for (int tries = 0; tries < 500 && !std::filesystem::exists(path); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::filesystem::exists(path);
}

// A null-modem cable: socat's two linked pseudo-terminals, korvel-sim on one
// end (set to other line settings first), korvel on the other.
TEST(KorvelSim, ServesOnASerialDeviceAtTheAdapterLineSettings) {
  if (!std::filesystem::exists(KORVEL_SOCAT)) {
    GTEST_SKIP() << "socat is not installed";
  }
  std::string dir = (std::filesystem::temp_directory_path() / "korvel-cable-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string adapter_end = dir + "/adapter";
  const std::string host_end = dir + "/host";
  BackgroundProcess cable(
      {KORVEL_SOCAT, "pty,raw,echo=0,link=" + adapter_end, "pty,raw,echo=0,link=" + host_end});
  ASSERT_TRUE(wait_for_path(adapter_end) && wait_for_path(host_end)) << cable.errors();
  run_process({kStty, "-F", adapter_end, "9600", "cstopb", "parenb", "crtscts", "ixon", "-clocal"},
              kToolTimeout);

  SimTool sim({"--device", adapter_end});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  const std::string host_port = std::filesystem::read_symlink(host_end).string().substr(5);
  const ProcessResult version = run_korvel({"version", host_port});
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output << sim.process().output();
  EXPECT_TRUE(contains(version.output, std::string("version: ") + korvel::sim::kDefaultVersionText))
      << version.output;
  const ProcessResult line = run_process({kStty, "-F", adapter_end, "-a"}, kToolTimeout);
  for (const char *setting :
       {"38400", "cs8", "-parenb", "-cstopb", "clocal", "cread", "-crtscts", "-ixon", "-icanon"}) {
    EXPECT_TRUE(has_word(line.output, setting)) << setting << " in " << line.output;
  }
  EXPECT_EQ(sim.stop(SIGTERM), kExitSuccess);
  cable.send_signal(SIGTERM);
  cable.wait_for_exit(kSelfExitTimeout);
  std::filesystem::remove_all(dir);

  const ProcessResult refused =
      run_process({KORVEL_SIM_TOOL, "--device", "/dev/null"}, kToolTimeout);
  EXPECT_EQ(refused.exit_code, kExitSetupFailed);
  EXPECT_TRUE(contains(refused.errors, "/dev/null: not a terminal")) << refused.errors;
}

} // namespace
} // namespace tool_test
