// The library over real pseudo-terminals, against the simulated adapter.
#include "exchange.h"
#include "korvel_dll.h"
#include "packet_pty.h"
#include "plain_pty.h"
#include "port_list_fixed.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::identification;
using korvel::sim::PtyAdapter;
using korvel::sim::reply;
using korvel::sim::silent;
using Clock = std::chrono::steady_clock;

// Real time is only checked against generous bounds.
constexpr long kSilentExchangeMs = korvel::kSilentExchangeMs;
constexpr long kSlackMs = 400;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class PtyTest : public ::testing::Test {
protected:
  void TearDown() override {
    if (handle_ != nullptr && handle_ != MDB_IF_INVALID_HANDLE) {
      MDB_IF_CloseInterface(handle_);
    }
  }

  void open(const PtyAdapter &adapter) {
    ASSERT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle_), MDB_IF_OK);
  }

  MDB_IF_HANDLE handle_ = nullptr;
};

// The terminal's exclusive flag, as a descriptor of its own reads it.
int exclusive_flag(int fd) {
  int set = -1;
  return ioctl(fd, TIOCGEXCL, &set) == 0 ? set : -1;
}

TEST_F(PtyTest, OpenIsExclusiveAndCloseReleasesThePort) {
  PtyAdapter adapter;
  const int watcher = ::open(adapter.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(watcher, 0);
  open(adapter);
  EXPECT_EQ(exclusive_flag(watcher), 1);
  const int other = ::open(adapter.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  // As root TIOCEXCL lets the open through; the lock must still hold.
  if (other >= 0) {
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
  }
  MDB_IF_HANDLE second = nullptr;
  EXPECT_EQ(MDB_IF_CloseInterface(handle_), MDB_IF_OK);
  EXPECT_EQ(exclusive_flag(watcher), 0);
  EXPECT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &second), MDB_IF_OK);
  handle_ = second;
  close(watcher);
}

// The handle is the descriptor itself, so it must not be 0 when the host
// has closed its standard input.
TEST_F(PtyTest, WithStandardInputClosedTheHandleIsNeverNull) {
  PtyAdapter adapter;
  const int saved_stdin = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  const std::int32_t opened = MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle_);
  const std::int32_t reset = MDB_IF_LineReset(handle_);
  if (saved_stdin >= 0) {
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
  }
  EXPECT_EQ(opened, MDB_IF_OK);
  EXPECT_NE(handle_, nullptr);
  EXPECT_EQ(reset, MDB_IF_OK);
}

// A child after fork inherits the interface's descriptor, which shares its
// exclusive flag, its queues and its lock with the parent's. The child's
// calls with it are rejected, and its own opens leave the parent's port as
// it was.
TEST_F(PtyTest, AForkedChildNeverDisturbsTheParentsInterface) {
  PtyAdapter adapter;
  PtyAdapter childs_own;
  open(adapter);
  const std::string parents_port = adapter.port_name();
  const std::string childs_port = childs_own.port_name();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int wrong = 0;
    wrong += MDB_IF_LineReset(handle_) != MDB_IF_BAD_HANDLE;
    wrong += MDB_IF_CloseInterface(handle_) != MDB_IF_BAD_HANDLE;
    MDB_IF_HANDLE own = nullptr;
    wrong += MDB_IF_OpenInterface(parents_port.c_str(), &own) != MDB_IF_OPEN_OR_CRC_ERROR;
    wrong += MDB_IF_OpenInterface(childs_port.c_str(), &own) != MDB_IF_OK;
    wrong += MDB_IF_LineReset(own) != MDB_IF_OK;
    wrong += MDB_IF_CloseInterface(own) != MDB_IF_OK;
    _exit(wrong);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child's calls went wrong";

  const int other = ::open(adapter.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other >= 0) { // as root; otherwise the flag itself refused the open
    EXPECT_EQ(exclusive_flag(other), 1);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
  }
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(adapter.request_count(), 1U) << "the child sent on the parent's line";
  EXPECT_EQ(childs_own.request_count(), 1U);
}

// A signal during the wait for room in a full output queue does not end the
// wait: the request goes out once the line takes bytes again, and the call
// then waits for the reply as usual.
TEST_F(PtyTest, ASignalDoesNotCutTheWaitForRoomShort) {
  const PlainPty line;
  ASSERT_FALSE(line.path().empty());
  const int filler = ::open(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  ASSERT_EQ(MDB_IF_OpenInterface(line.name().c_str(), &handle_), MDB_IF_OK);
  const std::string block(4096, 'x');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);

  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &interrupt, &previous), 0);
  const pthread_t caller = pthread_self();
  std::thread far_end([&] {
    usleep(100 * 1000);
    pthread_kill(caller, SIGUSR1);
    usleep(200 * 1000);
    line.drain();
  });
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_TIMEOUT) << "the send gave up at the signal";
  far_end.join();
  sigaction(SIGUSR1, &previous, nullptr);
  close(filler);
}

TEST_F(PtyTest, AnotherProgramsExclusiveHoldIsRespected) {
  PtyAdapter adapter([](const Bytes &) { return identification(); });
  const int other = ::open(adapter.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(other, &before), 0);

  EXPECT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle_), MDB_IF_OPEN_OR_CRC_ERROR);
  korvel::port::fixed_list::set_ports({adapter.port_name()});
  char name[MDB_IF_PORT_NAME_BUFFER] = "unchanged";
  EXPECT_EQ(MDB_IF_ScanInterface(name), MDB_IF_OK);
  EXPECT_STREQ(name, "");
  termios after{};
  ASSERT_EQ(tcgetattr(other, &after), 0);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0) << "settings touched";
  int exclusive = 0;
  EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "the other program's flag was cleared";
  EXPECT_EQ(adapter.request_count(), 0U);
  close(other);
}

// A probe puts back the settings it found on a port. The interface's own
// line passes every byte, whatever a previous program left set: no XON/XOFF,
// no output resumed by any byte, no canonical mode or echo.
TEST_F(PtyTest, AProbeLeavesThePortAsItFoundItAndTheInterfaceIsRaw) {
  PtyAdapter adapter([](const Bytes &) { return identification(); });
  const int other = ::open(adapter.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  termios found{};
  ASSERT_EQ(tcgetattr(other, &found), 0);
  found.c_iflag |= IXON | IXOFF | IXANY;
  found.c_lflag |= ICANON | ECHO;
  found.c_cflag |= CRTSCTS;
  ASSERT_EQ(cfsetspeed(&found, B9600), 0);
  ASSERT_EQ(tcsetattr(other, TCSANOW, &found), 0);
  ASSERT_EQ(tcgetattr(other, &found), 0);

  korvel::port::fixed_list::set_ports({adapter.port_name()});
  char name[MDB_IF_PORT_NAME_BUFFER];
  EXPECT_EQ(MDB_IF_ScanInterface(name), MDB_IF_OK);
  EXPECT_EQ(name, adapter.port_name());
  termios after{};
  ASSERT_EQ(tcgetattr(other, &after), 0);
  EXPECT_EQ(std::memcmp(&found, &after, sizeof(found)), 0) << "the probe left its settings";

  open(adapter);
  ASSERT_EQ(tcgetattr(other, &after), 0);
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY), 0U);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), 0U);
  EXPECT_EQ(after.c_cflag & CRTSCTS, 0U);
  EXPECT_EQ(cfgetospeed(&after), B38400);
  close(other);
}

// The last close of a terminal waits until its output has drained, which a
// stalled device never does; the library discards that output first.
TEST_F(PtyTest, ClosingDiscardsOutputTheLineHasNotTaken) {
  const PacketModePty line;
  ASSERT_FALSE(line.slave_path().empty());
  const std::string name = line.slave_path().substr(std::strlen("/dev/"));
  ASSERT_EQ(MDB_IF_OpenInterface(name.c_str(), &handle_), MDB_IF_OK);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_TIMEOUT); // its request is never read
  EXPECT_EQ(MDB_IF_CloseInterface(handle_), MDB_IF_OK);
  handle_ = nullptr;
  EXPECT_TRUE(line.output_was_discarded());
}

TEST_F(PtyTest, ReopeningTheSamePortSupersedesTheFirstHandle) {
  PtyAdapter adapter;
  open(adapter);
  const MDB_IF_HANDLE first = handle_;
  open(adapter);
  EXPECT_NE(handle_, first);
  EXPECT_EQ(MDB_IF_LineReset(first), MDB_IF_BAD_HANDLE);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
}

TEST_F(PtyTest, PortsThatCannotBeOpenedGiveTheInvalidHandle) {
  EXPECT_EQ(MDB_IF_OpenInterface("pts/99999", &handle_), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(handle_, MDB_IF_INVALID_HANDLE);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_LINK_ERROR);
  EXPECT_EQ(MDB_IF_CloseInterface(handle_), MDB_IF_OK);
}

TEST_F(PtyTest, VersionResetAndCommandRoundTrip) {
  PtyAdapter adapter([](const Bytes &command) {
    if (command == Bytes{0x02, 0x03, 0x7D, 0x10}) {
      return reply({0x7D, 0x02, 0x03, 0x00, 0x7D});
    }
    return korvel::sim::default_answer(command);
  });
  open(adapter);

  char text[64];
  EXPECT_EQ(MDB_IF_GetVersion(handle_, text, sizeof(text)), MDB_IF_OK);
  EXPECT_STREQ(text, korvel::sim::kDefaultVersionText);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);

  const std::uint8_t command[] = {0x02, 0x03, 0x7D, 0x10};
  std::uint8_t answer[16];
  std::int32_t length = sizeof(answer);
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, command, sizeof(command), answer, &length), MDB_IF_OK);
  EXPECT_EQ(Bytes(answer, answer + length), (Bytes{0x7D, 0x02, 0x03, 0x00, 0x7D}));
  EXPECT_EQ(adapter.request_count(), 3U);
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

TEST_F(PtyTest, FaultsOnTheLineMapToTheirResults) {
  PtyAdapter adapter;
  open(adapter);
  const std::uint8_t command[] = {0x0A};
  std::uint8_t answer[8];
  std::int32_t length = sizeof(answer);

  adapter.set_behaviour([](const Bytes &) {
    Answer answer = reply({0x00, 0x01});
    answer.corrupt_crc = true;
    return answer;
  });
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, command, 1, answer, &length), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(adapter.request_count(), 3U);

  adapter.set_behaviour([](const Bytes &) {
    Answer answer = reply({0x00, 0x01, 0x02});
    answer.noise_before = {0x41, 0x7D, 0x03, 0x00};
    answer.piece_size = 2;
    answer.piece_pause_ms = 30;
    return answer;
  });
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, command, 1, answer, &length), MDB_IF_OK);
  EXPECT_EQ(Bytes(answer, answer + length), (Bytes{0x00, 0x01, 0x02}));

  adapter.set_behaviour([](const Bytes &) { return reply({0xFF}); });
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_ADAPTER_ERROR);
}

TEST_F(PtyTest, ASilentAdapterTimesOutAfterThreeAttempts) {
  PtyAdapter adapter([](const Bytes &) { return silent(); });
  open(adapter);
  const std::uint8_t command[] = {0x0A};
  std::uint8_t answer[8];
  std::int32_t length = sizeof(answer);
  const auto started = Clock::now();
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, command, 1, answer, &length), MDB_IF_TIMEOUT);
  const long took = elapsed_ms(started);
  constexpr long kSilentAttemptMs = kSilentExchangeMs + korvel::kRetryDelayMs;
  EXPECT_GE(took, korvel::kCommandAttempts * kSilentAttemptMs);
  EXPECT_LT(took, korvel::kCommandAttempts * kSilentAttemptMs + kSlackMs);
  EXPECT_EQ(adapter.request_count(), 3U);
  EXPECT_EQ(length, static_cast<std::int32_t>(sizeof(answer)));
}

TEST_F(PtyTest, LateBytesOfAnEarlierReplyNeverReachTheNextOne) {
  PtyAdapter adapter([](const Bytes &command) {
    Answer answer = korvel::sim::default_answer(command);
    if (command == Bytes{korvel::adapter::kReadVersionCommand}) {
      answer.delay_ms = 600; // after the receive has given up
    } else {
      answer.payload = command;
    }
    return answer;
  });
  open(adapter);
  char text[32];
  EXPECT_EQ(MDB_IF_GetVersion(handle_, text, sizeof(text)), MDB_IF_TIMEOUT);
  usleep(200 * 1000); // the version reply is now waiting in the queue
  std::uint8_t answer[32];
  std::int32_t length = sizeof(answer);
  const std::uint8_t command[] = {0x0A, 0x22};
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, command, 2, answer, &length), MDB_IF_OK);
  EXPECT_EQ(Bytes(answer, answer + length), (Bytes{0x0A, 0x22}));
}

TEST_F(PtyTest, ScanFindsTheAdapterAmongListedPorts) {
  PtyAdapter mute([](const Bytes &) { return silent(); });
  PtyAdapter versioned; // answers a status byte before its text
  PtyAdapter adapter([](const Bytes &) { return identification(); });
  PtyAdapter after;
  korvel::port::fixed_list::set_ports({mute.port_name(), "pts/99999", versioned.port_name(),
                                       adapter.port_name(), after.port_name()});
  char name[MDB_IF_PORT_NAME_BUFFER];
  const auto started = Clock::now();
  EXPECT_EQ(MDB_IF_ScanInterface(name), MDB_IF_OK);
  EXPECT_EQ(name, adapter.port_name());
  EXPECT_LT(elapsed_ms(started), kSilentExchangeMs + kSlackMs + 200);
  EXPECT_EQ(after.request_count(), 0U);
  EXPECT_EQ(versioned.request_count(), 1U);
}

TEST_F(PtyTest, ScanDoesNotFindTheAdapterOnThePortTheInterfaceHolds) {
  PtyAdapter adapter([](const Bytes &) { return identification(); });
  korvel::port::fixed_list::set_ports({adapter.port_name()});
  open(adapter);
  char name[MDB_IF_PORT_NAME_BUFFER] = "unchanged";
  EXPECT_EQ(MDB_IF_ScanInterface(name), MDB_IF_OK);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(adapter.request_count(), 0U);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_LINK_ERROR); // the adapter answers "MDB_IF..."
}

} // namespace
