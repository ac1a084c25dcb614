// A line that takes none of the library's bytes, through the Windows DLL under
// Wine: a pseudo-terminal whose master nobody reads, its queue filled before
// the library opens it. The call gives up once the write's bound has passed,
// and the next call goes through once the line drains.
#include "exchange.h"
#include "korvel_dll.h"
#include "port/serial_port.h"
#include "wine_test.h"
#include "worked_frames.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace wine_test {
namespace {

constexpr long kWriteBoundMs = korvel::port::kWriteTimeoutMs;
constexpr long kSettleMs = korvel::kSettleDelayMs;
// Wine's tick moves in steps of about 16 ms; the late bound allows for load.
constexpr long kEarlyMs = 40;
constexpr long kLateMs = 500;
constexpr std::chrono::seconds kHangTimeout{30};
constexpr std::chrono::milliseconds kDrainPoll{10};
constexpr std::chrono::seconds kDrainStartLimit{40};
constexpr std::uint8_t kFiller = 0x55;
constexpr int kFullAfterIdleRounds = 3;
constexpr std::chrono::milliseconds kRoomPoll{50};

// The far end of the line: fills the queue at once, and reads nothing until
// told to (a marker file appears), then everything.
class StalledLine {
public:
  StalledLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      return;
    }
    const std::string slave = ptsname(master_);
    filler_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (filler_ < 0 || tcgetattr(filler_, &raw) != 0) {
      return;
    }
    cfmakeraw(&raw);
    tcsetattr(filler_, TCSANOW, &raw);
    // The kernel moves queued bytes on to the master's line discipline a
    // little later, which makes room again (poll does not tell): the queue
    // is full once, for a few rounds, no room has come and nothing has moved.
    const std::vector<std::uint8_t> chunk(1024, kFiller);
    int moved_on = -1;
    for (int idle_rounds = 0; idle_rounds < kFullAfterIdleRounds;) {
      if (write(filler_, chunk.data(), chunk.size()) > 0) {
        idle_rounds = 0;
        continue;
      }
      if (errno != EAGAIN) {
        return;
      }
      std::this_thread::sleep_for(kRoomPoll);
      int now_moved = 0;
      ioctl(master_, FIONREAD, &now_moved);
      idle_rounds = now_moved == moved_on ? idle_rounds + 1 : 0;
      moved_on = now_moved;
    }
    slave_ = slave;
  }
  ~StalledLine() {
    stop_ = true;
    if (drainer_.joinable()) {
      drainer_.join();
    }
    for (const int fd : {filler_, master_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
  StalledLine(const StalledLine &) = delete;
  StalledLine &operator=(const StalledLine &) = delete;

  // "" when the line could not be filled.
  const std::string &slave_path() const { return slave_; }

  // Once `start` exists, reads everything queued, creates `drained` and
  // goes on reading what comes.
  void drain_when(const std::filesystem::path &start, const std::filesystem::path &drained) {
    drainer_ = std::thread([this, start, drained] {
      const auto limit = std::chrono::steady_clock::now() + kDrainStartLimit;
      while (!stop_ && !std::filesystem::exists(start)) {
        if (std::chrono::steady_clock::now() > limit) {
          return;
        }
        std::this_thread::sleep_for(kDrainPoll);
      }
      read_queued();
      std::ofstream{drained};
      while (!stop_) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(kDrainPoll.count())) > 0) {
          read_queued();
        }
      }
    });
  }

  // What the line took after the drain began, without the filler.
  Bytes taken() {
    std::lock_guard lock(mutex_);
    Bytes bytes;
    std::copy_if(taken_.begin(), taken_.end(), std::back_inserter(bytes),
                 [](std::uint8_t byte) { return byte != kFiller; });
    return bytes;
  }

private:
  void read_queued() {
    std::uint8_t buffer[4096];
    for (ssize_t got = 0; (got = read(master_, buffer, sizeof(buffer))) > 0;) {
      std::lock_guard lock(mutex_);
      taken_.insert(taken_.end(), buffer, buffer + got);
    }
  }

  int master_ = -1;
  int filler_ = -1;
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::thread drainer_;
  std::mutex mutex_;
  Bytes taken_;
};

// The path under Wine's drive Z:, which is the Unix root.
std::string windows_path(const std::filesystem::path &path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

bool contains(const Bytes &bytes, const Bytes &part) {
  return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

using WineLineStall = WineTest;

TEST_F(WineLineStall, AWriteTheLineNeverTakesGivesUpAfterItsBoundAndTheNextCallWorks) {
  StalledLine line;
  ASSERT_FALSE(line.slave_path().empty()) << "the pseudo-terminal could not be filled";
  const PortLink link = WineSession::get().link_port("COM8", line.slave_path());
  std::string dir_template = (std::filesystem::temp_directory_path() / "korvel-stall-XXXXXX");
  ASSERT_NE(mkdtemp(dir_template.data()), nullptr);
  const std::filesystem::path dir = dir_template;
  line.drain_when(dir / "stalled", dir / "drained");

  const HostRun run = run_host({"open COM8", "reset #1", "signal " + windows_path(dir / "stalled"),
                                "await " + windows_path(dir / "drained"), "reset #1", "close #1"},
                               kHangTimeout);
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(run.completed()) << run.transcript();
  // Nothing answers: once the line takes the frame, the reset times out.
  EXPECT_EQ(run.results(),
            (std::vector<int>{MDB_IF_OK, MDB_IF_LINK_ERROR, 0, 0, MDB_IF_TIMEOUT, MDB_IF_OK}))
      << run.transcript();
  const long stalled_ms = run.steps[1].number("ms");
  RecordProperty("stalled_reset_ms", std::to_string(stalled_ms));
  EXPECT_GE(stalled_ms, kWriteBoundMs - kEarlyMs);
  EXPECT_LE(stalled_ms, kWriteBoundMs + kSettleMs + kLateMs);
  EXPECT_TRUE(contains(line.taken(), worked_frames::kLineResetWire))
      << "the reset after the drain did not reach the line";
}

} // namespace
} // namespace wine_test
