// Every argument the public header says a function refuses, through the
// shared library's exports: the documented result, nothing written inside or
// around the host's buffers, no time spent, and nothing sent to the adapter.
#include "guarded.h"
#include "korvel_dll.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;
using Clock = std::chrono::steady_clock;

// A refusal does not wait for anything.
constexpr auto kRefusalTime = std::chrono::milliseconds(100);
constexpr std::int32_t kReplyCapacity = 256;
constexpr std::uint8_t kPlainByte = 0x41;
// Linux port names are refused above this length ("/dev/" + name in 20 bytes).
constexpr std::size_t kLongestPortName = 14;

const Bytes kReset{korvel::adapter::kLineResetCommand};
const Bytes kVersion{korvel::adapter::kReadVersionCommand};

// Commands are echoed; version and reset get the usual answers.
Answer echo(const Bytes &command) {
  if (command == kReset || command == kVersion) {
    return korvel::sim::default_answer(command);
  }
  Answer answer;
  answer.payload = command;
  return answer;
}

template <typename Call> std::int32_t refused_quickly(Call call) {
  const auto started = Clock::now();
  const std::int32_t result = call();
  EXPECT_LT(Clock::now() - started, kRefusalTime);
  return result;
}

class Refusals : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(MDB_IF_OpenInterface(adapter_.port_name().c_str(), &handle_), MDB_IF_OK);
  }
  void TearDown() override { MDB_IF_CloseInterface(handle_); }

  // Everything sent so far has been answered once a reset returns: since the
  // last check the adapter must have seen exactly these commands, then the
  // reset.
  void expect_sent(std::vector<Bytes> commands) {
    ASSERT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
    commands.push_back(kReset);
    const std::vector<korvel::sim::Exchange> exchanges = adapter_.exchanges();
    std::vector<Bytes> seen;
    for (std::size_t i = checked_; i < exchanges.size(); ++i) {
      seen.push_back(exchanges[i].command);
    }
    checked_ = exchanges.size();
    EXPECT_EQ(seen, commands);
    EXPECT_EQ(adapter_.bad_request_count(), 0U);
  }

  PtyAdapter adapter_{echo};
  MDB_IF_HANDLE handle_ = nullptr;
  std::size_t checked_ = 0;
};

struct ExecCase {
  const char *what;
  const std::uint8_t *command;
  std::int32_t length;
  bool null_reply;
  std::int32_t capacity;
  bool null_length;
};

TEST_F(Refusals, ExecRefusesUnframableCommandsAndBadReplyArguments) {
  // 2 n + 6 bytes when all n need stuffing: 125 may still fit, 126 never.
  const Bytes all_stuffed(MDB_IF_MAX_COMMAND_ANY_BYTES + 2, korvel::adapter::kLineResetCommand);
  const Bytes too_long(MDB_IF_MAX_COMMAND_UNSTUFFED + 1, kPlainByte);
  Bytes longest_with_a_stuffed_byte(MDB_IF_MAX_COMMAND_UNSTUFFED, kPlainByte);
  longest_with_a_stuffed_byte[0] = 0x7D;
  const std::uint8_t one[] = {0x0A};
  const ExecCase cases[] = {
      {"negative length", one, -1, false, kReplyCapacity, false},
      {"most negative length", one, INT32_MIN, false, kReplyCapacity, false},
      {"null command", nullptr, 1, false, kReplyCapacity, false},
      {"126 bytes that all need stuffing", all_stuffed.data(),
       static_cast<std::int32_t>(all_stuffed.size()), false, kReplyCapacity, false},
      {"251 bytes", too_long.data(), static_cast<std::int32_t>(too_long.size()), false,
       kReplyCapacity, false},
      {"250 bytes, one to stuff", longest_with_a_stuffed_byte.data(),
       static_cast<std::int32_t>(longest_with_a_stuffed_byte.size()), false, kReplyCapacity, false},
      {"null reply length", one, 1, false, kReplyCapacity, true},
      {"negative capacity", one, 1, false, -1, false},
      {"null reply, capacity 1", one, 1, true, 1, false},
  };
  for (const ExecCase &refusal : cases) {
    SCOPED_TRACE(refusal.what);
    GuardedBuffer reply(kReplyCapacity);
    Guarded<std::int32_t> length(refusal.capacity);
    EXPECT_EQ(refused_quickly([&] {
                return MDB_IF_ExecCommand(handle_, refusal.command, refusal.length,
                                          refusal.null_reply ? nullptr : reply.data(),
                                          refusal.null_length ? nullptr : length.get());
              }),
              MDB_IF_LINK_ERROR);
    EXPECT_TRUE(reply.untouched());
    EXPECT_EQ(length.value(), refusal.capacity);
    EXPECT_TRUE(length.guards_intact());
  }
  expect_sent({});
}

// Just inside the limits everything is sent, and only the reply is written.
TEST_F(Refusals, ExecSendsWhatIsJustInsideTheLimits) {
  const Bytes all_stuffed(MDB_IF_MAX_COMMAND_ANY_BYTES, 0x7D);
  const Bytes longest(MDB_IF_MAX_COMMAND_UNSTUFFED, kPlainByte); // its CRC needs no stuffing
  for (const Bytes &command : {all_stuffed, longest}) {
    GuardedBuffer reply(kReplyCapacity);
    Guarded<std::int32_t> length(kReplyCapacity);
    EXPECT_EQ(MDB_IF_ExecCommand(handle_, command.data(), static_cast<std::int32_t>(command.size()),
                                 reply.data(), length.get()),
              MDB_IF_OK);
    EXPECT_EQ(Bytes(reply.data(), reply.data() + length.value()), command);
    EXPECT_TRUE(reply.guards_intact());
    EXPECT_TRUE(length.guards_intact());
  }
  // No command bytes and no reply buffer are fine when their lengths are 0.
  Guarded<std::int32_t> no_room(0);
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, nullptr, 0, nullptr, no_room.get()), MDB_IF_OK);
  EXPECT_EQ(no_room.value(), 0);
  expect_sent({all_stuffed, longest, {}});
}

TEST_F(Refusals, GetVersionRefusesBadTextArguments) {
  GuardedBuffer text(kReplyCapacity);
  EXPECT_EQ(refused_quickly([&] { return MDB_IF_GetVersion(handle_, text.text(), -1); }),
            MDB_IF_LINK_ERROR);
  EXPECT_EQ(refused_quickly([&] { return MDB_IF_GetVersion(handle_, nullptr, 1); }),
            MDB_IF_LINK_ERROR);
  expect_sent({});
  // With no room the request goes out, but the reply has no byte to read.
  EXPECT_EQ(MDB_IF_GetVersion(handle_, text.text(), 0), MDB_IF_LINK_ERROR);
  EXPECT_EQ(MDB_IF_GetVersion(handle_, nullptr, 0), MDB_IF_LINK_ERROR);
  EXPECT_TRUE(text.untouched());
  expect_sent({kVersion, kVersion});
}

TEST_F(Refusals, HandlesThatAreNotCurrentAreCheckedBeforeAnythingElse) {
  const int foreign = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(foreign, 0);
  const auto foreign_handle = reinterpret_cast<MDB_IF_HANDLE>(static_cast<std::intptr_t>(foreign));
  for (MDB_IF_HANDLE handle : {MDB_IF_HANDLE{nullptr}, MDB_IF_INVALID_HANDLE, foreign_handle}) {
    GuardedBuffer buffer(kReplyCapacity);
    Guarded<std::int32_t> length(kReplyCapacity);
    const std::uint8_t command[] = {0x0A};
    EXPECT_EQ(refused_quickly([&] {
                return MDB_IF_ExecCommand(handle, command, 1, buffer.data(), length.get());
              }),
              MDB_IF_BAD_HANDLE);
    // Arguments that would be refused with 5 give 1 here.
    EXPECT_EQ(MDB_IF_ExecCommand(handle, nullptr, -1, nullptr, nullptr), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(MDB_IF_GetVersion(handle, nullptr, -1), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(MDB_IF_GetVersion(handle, buffer.text(), kReplyCapacity), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(MDB_IF_LineReset(handle), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_BAD_HANDLE);
    EXPECT_TRUE(buffer.untouched());
    EXPECT_EQ(length.value(), kReplyCapacity);
  }
  EXPECT_NE(fcntl(foreign, F_GETFD), -1) << "the library closed a descriptor it was only shown";
  close(foreign);
  expect_sent({});
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{}));
}

// Each refusal leaves its reason in errno.
TEST_F(Refusals, OpenRefusalsLeaveTheCurrentInterfaceAlone) {
  const std::string too_long(kLongestPortName + 1, 'x');
  const struct {
    const char *name;
    int error;
  } rows[] = {
      // Names that do not fit, or lead out of /dev.
      {nullptr, EINVAL},
      {too_long.c_str(), EINVAL},
      {"../etc/passwd", EINVAL},
      {"pts/../null", EINVAL},
      // Devices that are no serial ports, recognised without opening them;
      // ptmx is a terminal, but no port.
      {"null", ENOTTY},
      {"zero", ENOTTY},
      {"ptmx", ENOTTY},
      {"tty", ENOTTY},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name == nullptr ? "null" : row.name);
    const std::size_t descriptors = open_descriptors();
    Guarded<MDB_IF_HANDLE> handle(nullptr);
    errno = 0;
    EXPECT_EQ(refused_quickly([&] { return MDB_IF_OpenInterface(row.name, handle.get()); }),
              MDB_IF_OPEN_OR_CRC_ERROR);
    EXPECT_EQ(errno, row.error);
    EXPECT_EQ(handle.value(), MDB_IF_INVALID_HANDLE);
    EXPECT_TRUE(handle.guards_intact());
    EXPECT_EQ(open_descriptors(), descriptors);
  }
  EXPECT_EQ(
      refused_quickly([&] { return MDB_IF_OpenInterface(adapter_.port_name().c_str(), nullptr); }),
      MDB_IF_OPEN_OR_CRC_ERROR);
  expect_sent({}); // the interface is still open and current

  // A port held by another program's lock is busy, and a name of the longest
  // length is tried: both failed opens supersede the interface, whose close
  // comes after the reason was found.
  PtyAdapter other;
  const int holder = ::open(other.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const MDB_IF_HANDLE superseded = handle_;
  for (const auto &[name, error] : {std::pair{other.port_name(), EBUSY},
                                    std::pair{std::string(kLongestPortName, 'x'), ENOENT}}) {
    Guarded<MDB_IF_HANDLE> handle(nullptr);
    errno = 0;
    EXPECT_EQ(MDB_IF_OpenInterface(name.c_str(), handle.get()), MDB_IF_OPEN_OR_CRC_ERROR) << name;
    EXPECT_EQ(errno, error) << name;
    handle_ = handle.value();
  }
  EXPECT_EQ(MDB_IF_LineReset(superseded), MDB_IF_BAD_HANDLE);
  close(holder);
}

// The length check reads no further than one byte past the longest name: an
// unterminated name that ends at an unreadable page is refused, not read on.
TEST(RefusalsWithoutAnInterface, OpenReadsNoFurtherThanTheLongestNameAndScanNeedsABuffer) {
  const long page = sysconf(_SC_PAGESIZE);
  auto *pages =
      static_cast<char *>(mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, static_cast<std::size_t>(page), PROT_NONE), 0);
  char *name = pages + page - (kLongestPortName + 1);
  std::memset(name, 'x', kLongestPortName + 1);
  MDB_IF_HANDLE handle = nullptr;
  EXPECT_EQ(MDB_IF_OpenInterface(name, &handle), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(handle, MDB_IF_INVALID_HANDLE);
  munmap(pages, static_cast<std::size_t>(2 * page));

  EXPECT_EQ(refused_quickly([] { return MDB_IF_ScanInterface(nullptr); }),
            MDB_IF_OPEN_OR_CRC_ERROR);
}

} // namespace
