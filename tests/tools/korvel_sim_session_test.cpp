// A session kept and played back: korvel-sim taps the line between korvel
// and a second korvel-sim standing in for a real adapter (with faults on),
// records it, and replays the transcript to the same commands.
#include "korvel_dll.h"
#include "line_tap.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tool_test {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kAnswerTimeout{10};
constexpr std::chrono::milliseconds kAnswerPoll{20};
// Once the adapter has answered, its last bytes still cross the tap.
constexpr std::chrono::milliseconds kLastBytesGrace{50};

std::size_t lines_with(const std::string &text, const std::vector<std::string> &parts) {
  std::size_t count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    bool all = true;
    for (const std::string &part : parts) {
      all = all && contains(line, part);
    }
    count += all ? 1 : 0;
  }
  return count;
}

// Exchanges a korvel-sim has logged: one line each once it has answered.
std::size_t answered(const SimTool &sim) {
  return lines_with(sim.process().output_so_far(), {" request ", " -> "});
}

bool wait_for_answers(const SimTool &sim, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
  while (answered(sim) < count) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kAnswerPoll);
  }
  std::this_thread::sleep_for(kLastBytesGrace);
  return true;
}

class TempDir {
public:
  TempDir() {
    std::string dir = (fs::temp_directory_path() / "korvel-session-XXXXXX").string();
    if (mkdtemp(dir.data()) != nullptr) {
      path_ = dir;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path operator/(const std::string &name) const { return path_ / name; }

private:
  fs::path path_;
};

std::string read_file(const fs::path &path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The direction and bytes of each line, without times and comments.
std::vector<std::string> traffic_of(const std::string &transcript) {
  std::vector<std::string> traffic;
  std::istringstream lines(transcript);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));
    const std::size_t direction = line.find_first_of("<>");
    if (direction != std::string::npos) {
      const std::size_t end = line.find_last_not_of(' ');
      traffic.push_back(line.substr(direction, end - direction + 1));
    }
  }
  return traffic;
}

const std::vector<std::vector<std::string>> kCommands = {
    {"version"},    {"exec", "0A"}, {"exec", "0B0C"}, {"reset"},
    {"exec", "0A"}, {"exec", "11"}, {"version"},      {"exec", "0A"}};

// What korvel printed and returned for each command, the port's name left
// out; after each, the adapter is waited for until it has answered all
// requests so far (requests_so_far, filled in when empty), so that nothing
// late crosses into the next command.
std::vector<std::string> run_commands(const std::string &port, const SimTool &adapter,
                                      const SimTool *tap,
                                      std::vector<std::size_t> &requests_so_far) {
  std::vector<std::string> results;
  for (std::size_t i = 0; i < kCommands.size(); ++i) {
    std::vector<std::string> args = kCommands[i];
    args.insert(args.begin() + 1, port);
    ProcessResult run = run_korvel(args);
    std::string shown = run.output;
    for (std::size_t at; (at = shown.find(port)) != std::string::npos;) {
      shown.replace(at, port.size(), "PORT");
    }
    results.push_back("exit " + std::to_string(run.exit_code) + "\n" + shown);
    if (tap != nullptr) {
      requests_so_far.push_back(lines_with(tap->process().output_so_far(), {" request "}));
    }
    EXPECT_TRUE(wait_for_answers(adapter, requests_so_far.at(i))) << "command " << i;
  }
  return results;
}

// Reads exactly count bytes, or what came within kAnswerTimeout.
std::vector<std::uint8_t> read_bytes(int fd, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
  while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{fd, POLLIN, 0};
    std::uint8_t buffer[512];
    if (poll(&readable, 1, 100) > 0) {
      const ssize_t got = read(fd, buffer, sizeof(buffer));
      bytes.insert(bytes.end(), buffer, buffer + std::max<ssize_t>(got, 0));
    }
  }
  return bytes;
}

void make_raw(int fd) {
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
}

// Every byte value, both ways at once, in the order sent; the observer is
// told of each byte once, in the direction it went.
TEST(KorvelSimSession, TheTapPassesEveryByteBothWaysUnchanged) {
  int adapter_master = -1;
  int adapter_slave = -1;
  char adapter_name[64] = {};
  ASSERT_EQ(openpty(&adapter_master, &adapter_slave, adapter_name, nullptr, nullptr), 0);
  make_raw(adapter_slave);
  std::vector<std::uint8_t> every_byte(256);
  for (std::size_t i = 0; i < every_byte.size(); ++i) {
    every_byte[i] = static_cast<std::uint8_t>(i);
  }
  std::vector<std::uint8_t> reversed(every_byte.rbegin(), every_byte.rend());
  std::mutex seen_mutex;
  std::vector<std::uint8_t> seen[2];
  {
    korvel::sim::LineTap tap(
        korvel::sim::open_own_line(), korvel::sim::open_device_line(adapter_name),
        [&](const korvel::sim::Traffic &traffic) {
          std::lock_guard lock(seen_mutex);
          auto &bytes = seen[static_cast<int>(traffic.direction)];
          bytes.insert(bytes.end(), traffic.bytes, traffic.bytes + traffic.count);
        });
    const int host = open(tap.host_line().device_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    make_raw(host);
    std::thread to_host(
        [&] { ASSERT_EQ(write(adapter_master, reversed.data(), reversed.size()), 256); });
    ASSERT_EQ(write(host, every_byte.data(), every_byte.size()), 256);
    EXPECT_EQ(read_bytes(adapter_master, every_byte.size()), every_byte);
    EXPECT_EQ(read_bytes(host, reversed.size()), reversed);
    to_host.join();
    close(host);
  }
  EXPECT_EQ(seen[static_cast<int>(korvel::sim::Direction::ToAdapter)], every_byte);
  EXPECT_EQ(seen[static_cast<int>(korvel::sim::Direction::ToHost)], reversed);
  close(adapter_master);
  close(adapter_slave);
}

TEST(KorvelSimSession, ATappedSessionReplaysToTheSameResultsAndReplyBytes) {
  TempDir dir;
  const std::string transcript = (dir / "session.txt").string();
  const std::string replayed = (dir / "replayed.txt").string();
  std::vector<std::size_t> requests;
  std::vector<std::string> recorded_results;
  {
    // Every other answer or so faulty: silence, CRC errors, noise, pieces,
    // delays and late replies.
    SimTool adapter({"--faults", "4", "--fault-rate", "0.8"});
    ASSERT_NE(adapter.port(), "") << adapter.process().errors();
    SimTool tap({"--tap", "/dev/" + adapter.port(), "--record", transcript, "--wire"});
    ASSERT_NE(tap.port(), "") << tap.process().errors();
    recorded_results = run_commands(tap.port(), adapter, &tap, requests);
    EXPECT_EQ(tap.stop(SIGTERM), kExitSuccess);
    EXPECT_EQ(adapter.stop(SIGTERM), kExitSuccess);
    const std::string log = tap.process().output();
    EXPECT_TRUE(contains(log, "passed on " + std::to_string(requests.back()) + " requests")) << log;
    EXPECT_TRUE(contains(log, "  wire in  02 00 30 01 D9 28 03")) << log;
    EXPECT_TRUE(contains(adapter.process().output(), "[crc-error]")) << "faults were on";
  }
  ASSERT_GT(requests.back(), kCommands.size()) << "some commands were tried again";

  SimTool replay({"--replay", transcript, "--record", replayed});
  ASSERT_NE(replay.port(), "") << replay.process().errors();
  const std::vector<std::string> replayed_results =
      run_commands(replay.port(), replay, nullptr, requests);
  EXPECT_EQ(replay.stop(SIGINT), kExitSuccess);
  EXPECT_EQ(replayed_results, recorded_results);
  const std::string log = replay.process().output();
  EXPECT_FALSE(contains(log, "no recorded answer")) << log;
  EXPECT_TRUE(contains(log, "served " + std::to_string(requests.back()) +
                                " requests, 0 without a recorded answer"))
      << log;
  // The same bytes both ways, frame for frame.
  const std::string recorded_text = read_file(transcript);
  EXPECT_EQ(traffic_of(read_file(replayed)), traffic_of(recorded_text)) << recorded_text;
}

TEST(KorvelSimSession, AHandWrittenTranscriptIsPlayedAndAMalformedOneRefusedAtStart) {
  TempDir dir;
  const fs::path good = dir / "good.txt";
  std::ofstream(good) << "korvel-transcript 1\n"
                         "# 0A is answered 30 ms later, in two pieces\n"
                         "100 > 02 00 30 0A 68 43 03\n"
                         "130 < 02 00 00 00\n"
                         "135 < 11 86 D0 03\n";
  SimTool replay({"--replay", good.string()});
  ASSERT_NE(replay.port(), "") << replay.process().errors();
  const ProcessResult played = run_korvel({"exec", replay.port(), "0A"});
  EXPECT_EQ(played.exit_code, kExitSuccess) << played.output;
  EXPECT_TRUE(contains(played.output, "reply (2 bytes): 00 11")) << played.output;
  const ProcessResult unknown = run_korvel({"exec", replay.port(), "0C"});
  EXPECT_EQ(unknown.exit_code, kExitResultBase + MDB_IF_TIMEOUT) << unknown.output;
  EXPECT_EQ(replay.stop(SIGTERM), kExitSuccess);
  EXPECT_TRUE(contains(replay.process().output(), "request 0A -> reply 00 11 [transcript line 3]"))
      << replay.process().output();
  EXPECT_TRUE(
      contains(replay.process().output(),
               "no recorded answer for request 0C (not in the transcript), so not answered"))
      << replay.process().output();

  const fs::path bad = dir / "bad.txt";
  std::ofstream(bad) << "korvel-transcript 1\n100 > 02 00 30 0A 68 43 03\n130 < 02 00 0\n";
  const ProcessResult refused =
      run_process({KORVEL_SIM_TOOL, "--replay", bad.string()}, kToolTimeout);
  EXPECT_EQ(refused.exit_code, kExitSetupFailed);
  EXPECT_EQ(refused.errors, "korvel-sim: " + bad.string() +
                                " line 3: '02 00 0' is not bytes in hex (two digits "
                                "each)\n");
  EXPECT_FALSE(contains(refused.output, "port ")) << "no line is opened for a refused transcript";

  const std::string before = read_file(good);
  const ProcessResult kept =
      run_process({KORVEL_SIM_TOOL, "--record", good.string()}, kToolTimeout);
  EXPECT_EQ(kept.exit_code, kExitSetupFailed);
  EXPECT_TRUE(contains(kept.errors, "exists: korvel-sim records only to a new file"))
      << kept.errors;
  EXPECT_EQ(read_file(good), before);
}

} // namespace
} // namespace tool_test
