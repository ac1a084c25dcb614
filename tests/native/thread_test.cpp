// Calls from several threads at once, through the library over real ports
// and a port list the test sets. The exports share one current interface and
// one set of link buffers, so each call must wait for the one in progress:
// every reply belongs to its own call, a scan never interleaves with a
// command, and a close never lets a call in progress spill onto the next
// port. Also run under ThreadSanitizer.
#include "exchange.h"
#include "korvel_dll.h"
#include "port_list_fixed.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;

constexpr int kThreads = 2;
constexpr int kCallsPerThread = 60;
// Long enough to see the adapter's first request; the call runs for 1.6 s.
constexpr std::uint32_t kFirstRequestWaitMs = 2000;

Answer echo(const Bytes &command) {
  Answer answer;
  answer.payload = command;
  return answer;
}

TEST(Threads, ConcurrentCommandsEachGetTheirOwnReply) {
  PtyAdapter adapter(echo);
  MDB_IF_HANDLE handle = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle), MDB_IF_OK);
  std::array<std::atomic<int>, kThreads> wrong{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int call = 0; call < kCallsPerThread; ++call) {
        const std::uint8_t command[] = {static_cast<std::uint8_t>(0xA0 + t),
                                        static_cast<std::uint8_t>(call), 0x55};
        std::uint8_t reply[16] = {};
        std::int32_t length = sizeof(reply);
        const std::int32_t result =
            MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length);
        if (result != MDB_IF_OK || Bytes(reply, reply + length) != Bytes(command, command + 3)) {
          ++wrong[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << "thread " << t;
  }
  EXPECT_EQ(adapter.request_count(), static_cast<std::size_t>(kThreads * kCallsPerThread));
  EXPECT_EQ(adapter.bad_request_count(), 0U);
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
}

TEST(Threads, ScansAndCommandsTakeTurns) {
  constexpr int kScans = 3;
  constexpr int kCommands = 20;
  PtyAdapter interface_adapter(echo);
  PtyAdapter mute([](const Bytes &) { return korvel::sim::silent(); });
  PtyAdapter identifying([](const Bytes &) { return korvel::sim::identification(); });
  // The interface's own port is listed too: the probe cannot open it.
  korvel::port::fixed_list::set_ports(
      {mute.port_name(), interface_adapter.port_name(), identifying.port_name()});
  MDB_IF_HANDLE handle = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface(interface_adapter.port_name().c_str(), &handle), MDB_IF_OK);

  int scans_wrong = 0;
  std::thread scanner([&] {
    for (int scan = 0; scan < kScans; ++scan) {
      char name[MDB_IF_PORT_NAME_BUFFER] = {};
      if (MDB_IF_ScanInterface(name) != MDB_IF_OK || name != identifying.port_name()) {
        ++scans_wrong;
      }
    }
  });
  int commands_wrong = 0;
  for (int call = 0; call < kCommands; ++call) {
    const std::uint8_t command[] = {0xC0, static_cast<std::uint8_t>(call)};
    std::uint8_t reply[16] = {};
    std::int32_t length = sizeof(reply);
    if (MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length) != MDB_IF_OK ||
        Bytes(reply, reply + length) != Bytes(command, command + 2)) {
      ++commands_wrong;
    }
  }
  scanner.join();
  EXPECT_EQ(scans_wrong, 0);
  EXPECT_EQ(commands_wrong, 0);
  EXPECT_EQ(interface_adapter.request_count(), static_cast<std::size_t>(kCommands));
  EXPECT_EQ(mute.request_count(), static_cast<std::size_t>(kScans));
  EXPECT_EQ(identifying.request_count(), static_cast<std::size_t>(kScans));
  for (const PtyAdapter *adapter : {&interface_adapter, &mute, &identifying}) {
    EXPECT_EQ(adapter->bad_request_count(), 0U);
  }
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
}

// A close or an open from another thread while a command runs on a silent
// port: the command runs all its attempts on its own port, and only then is
// the interface closed or superseded.
TEST(Threads, ACloseOrAnOpenWaitsForTheCommandInProgress) {
  for (const bool close_first : {true, false}) {
    SCOPED_TRACE(close_first ? "close, then open" : "open superseding");
    PtyAdapter silent_adapter([](const Bytes &) { return korvel::sim::silent(); });
    PtyAdapter next(echo);
    MDB_IF_HANDLE handle = nullptr;
    ASSERT_EQ(MDB_IF_OpenInterface(silent_adapter.port_name().c_str(), &handle), MDB_IF_OK);
    std::int32_t exec_result = -1;
    std::thread exec([&] {
      const std::uint8_t command[] = {0x0A};
      std::uint8_t reply[8];
      std::int32_t length = sizeof(reply);
      exec_result = MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length);
    });
    ASSERT_TRUE(silent_adapter.wait_for_requests(1, kFirstRequestWaitMs));
    if (close_first) {
      EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
    }
    MDB_IF_HANDLE next_handle = nullptr;
    EXPECT_EQ(MDB_IF_OpenInterface(next.port_name().c_str(), &next_handle), MDB_IF_OK);
    exec.join();

    EXPECT_EQ(exec_result, MDB_IF_TIMEOUT);
    EXPECT_EQ(silent_adapter.request_count(), static_cast<std::size_t>(korvel::kCommandAttempts));
    EXPECT_EQ(next.request_count(), 0U);
    EXPECT_EQ(MDB_IF_LineReset(handle), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(MDB_IF_CloseInterface(next_handle), MDB_IF_OK);
  }
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{}));
}

// Opens of one port on one thread, closes of the latest handle on another:
// every open succeeds (a superseded interface is closed first), no
// descriptor is left behind, and the port works afterwards.
TEST(Threads, ClosesRacingOpensLeaveNothingBehind) {
  constexpr int kRounds = 200;
  PtyAdapter adapter(echo);
  const std::size_t descriptors = open_descriptors();
  std::atomic<MDB_IF_HANDLE> latest{nullptr};
  int failed_opens = 0;
  std::thread opener([&] {
    for (int round = 0; round < kRounds; ++round) {
      MDB_IF_HANDLE handle = nullptr;
      if (MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle) == MDB_IF_OK) {
        latest = handle;
      } else {
        ++failed_opens;
      }
    }
  });
  int odd_closes = 0;
  std::thread closer([&] {
    for (int round = 0; round < kRounds; ++round) {
      const std::int32_t result = MDB_IF_CloseInterface(latest.load());
      odd_closes += result != MDB_IF_OK && result != MDB_IF_BAD_HANDLE;
    }
  });
  opener.join();
  closer.join();
  EXPECT_EQ(failed_opens, 0);
  EXPECT_EQ(odd_closes, 0);

  MDB_IF_HANDLE handle = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle), MDB_IF_OK);
  const std::uint8_t command[] = {0x5A, 0xA5}; // two bytes: no status byte
  std::uint8_t reply[4] = {};
  std::int32_t length = sizeof(reply);
  EXPECT_EQ(MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length), MDB_IF_OK);
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
  EXPECT_EQ(open_descriptors(), descriptors);
}

// A thread cancelled inside a call: the call runs to its end and releases
// the lock, and the cancel takes effect at the thread's next cancellation
// point. Not under ThreadSanitizer, which does not follow cancellation.
struct CancelledCall {
  MDB_IF_HANDLE handle;
  std::atomic<std::int32_t> result{-1};
};

// Uninstrumented by AddressSanitizer: the cancel unwinds this frame without
// returning, which would leave its buffers' guard zones poisoned on a stack
// that the thread's exit then reuses.
__attribute__((no_sanitize("address"))) void *exec_then_cancellation_point(void *context) {
  auto *call = static_cast<CancelledCall *>(context);
  const std::uint8_t command[] = {0x0A};
  std::uint8_t reply[8];
  std::int32_t length = sizeof(reply);
  call->result = MDB_IF_ExecCommand(call->handle, command, sizeof(command), reply, &length);
  pthread_testcancel();
  return nullptr;
}

TEST(Cancellation, ACallCancelledInsideTheLibraryStillReleasesIt) {
  constexpr auto kLockWait = std::chrono::seconds(3);
  PtyAdapter silent_adapter([](const Bytes &) { return korvel::sim::silent(); });
  CancelledCall call;
  ASSERT_EQ(MDB_IF_OpenInterface(silent_adapter.port_name().c_str(), &call.handle), MDB_IF_OK);
  pthread_t thread{};
  ASSERT_EQ(pthread_create(&thread, nullptr, exec_then_cancellation_point, &call), 0);
  ASSERT_TRUE(silent_adapter.wait_for_requests(1, kFirstRequestWaitMs));
  ASSERT_EQ(pthread_cancel(thread), 0);
  void *outcome = nullptr;
  ASSERT_EQ(pthread_join(thread, &outcome), 0);
  EXPECT_EQ(outcome, PTHREAD_CANCELED);
  EXPECT_EQ(call.result, MDB_IF_TIMEOUT) << "the call did not run to its end";

  // A lock left held would block this for ever: it is left behind then.
  auto closed = std::make_shared<std::promise<std::int32_t>>();
  std::future<std::int32_t> result = closed->get_future();
  std::thread([closed, handle = call.handle] {
    closed->set_value(MDB_IF_CloseInterface(handle));
  }).detach();
  ASSERT_EQ(result.wait_for(kLockWait), std::future_status::ready) << "the lock stayed held";
  EXPECT_EQ(result.get(), MDB_IF_OK);
}

} // namespace
