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
#include <thread>
#include <unistd.h>

namespace tool_test {
namespace {

using korvel::tools::format_hex;

constexpr std::chrono::seconds kSelfExitTimeout{10};
constexpr const char *kStty = "/usr/bin/stty";

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

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

void send_requests(const std::string &port, const std::vector<std::uint8_t> &commands) {
  const int fd = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  for (const std::uint8_t command : commands) {
    std::uint8_t frame[korvel::link::kTransmitBufferSize];
    std::int32_t length = korvel::link::encode_frame(
        korvel::link::kRequestHeader1, korvel::link::kRequestHeader2, &command, 1, frame);
    length = korvel::link::stuff_in_place(frame, length);
    ASSERT_EQ(write(fd, frame, static_cast<std::size_t>(length)), length);
  }
  close(fd);
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
