// Finding the adapter through the serial-port list in Wine's registry. Every
// test starts from an empty list: Wine fills it from its own device scan.
#include "exchange.h"
#include "korvel_dll.h"
#include "wine_test.h"

namespace wine_test {
namespace {

// A silent port costs one receive timeout and the settle delay.
constexpr long kSilentProbeMs = korvel::kSilentExchangeMs;
constexpr long kEarlyMs = 40;
constexpr long kLateMs = 500;

using WineScan = WineTest;

// The registry steps that list these ports, in this order.
std::vector<std::string> listing(const std::vector<std::string> &ports) {
  std::vector<std::string> steps{"reg-clear"};
  for (std::size_t i = 0; i < ports.size(); ++i) {
    steps.push_back("reg-sz port" + std::to_string(i) + " " + ports[i]);
  }
  return steps;
}

std::vector<std::string> operator+(std::vector<std::string> first,
                                   const std::vector<std::string> &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The results of the steps from `first` on.
std::vector<int> results_from(const HostRun &run, std::size_t first) {
  const std::vector<int> all = run.results();
  return std::vector<int>(all.begin() + static_cast<long>(std::min(first, all.size())), all.end());
}

TEST_F(WineScan, FindsTheAdapterAndProbesNoFurther) {
  PtyAdapter mute(always(silent()));
  PtyAdapter adapter(always(identification()));
  PtyAdapter after(always(identification()));
  attach("COM5", mute);
  attach("COM6", adapter);
  attach("COM7", after);
  const auto list = listing({"COM5", "COM6", "COM7"});
  const HostRun run =
      run_host(list + std::vector<std::string>{"scan", "open COM6", "version #1 64", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  const HostStep &scan = run.steps[list.size()];
  EXPECT_EQ(results_from(run, list.size()),
            (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_LINK_ERROR, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(scan.text("name"), "COM6");
  EXPECT_EQ(scan.number("guard_ok"), 1);
  // One silent port before the adapter.
  EXPECT_GE(scan.number("ms"), kSilentProbeMs - kEarlyMs);
  EXPECT_LE(scan.number("ms"), kSilentProbeMs + kLateMs);
  EXPECT_EQ(mute.request_count(), 1U);
  EXPECT_EQ(commands_received(adapter), (std::vector<Bytes>{{0x01}, {0x01}}));
  EXPECT_EQ(after.request_count(), 0U) << "the scan went on past the adapter";
}

// A listed port may be a modem's or a printer's, set up by its own program:
// the probe puts back what it found.
TEST_F(WineScan, TheProbeLeavesThePortAsItFoundIt) {
  PtyAdapter adapter(always(identification()));
  attach("COM6", adapter);
  const auto list = listing({"COM6"});
  const HostRun run = run_host(list + std::vector<std::string>{"dirty COM6", "scan", "dcb COM6"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  const HostStep &before = run.steps[list.size()];
  const HostStep &after = run.steps[list.size() + 2];
  if (before.field("flags") == "-") {
    GTEST_SKIP() << "Wine kept none of the flags across the close";
  }
  EXPECT_EQ(run.steps[list.size() + 1].text("name"), "COM6") << run.transcript();
  EXPECT_EQ(after.field("baud"), before.field("baud")) << run.transcript();
  EXPECT_EQ(after.field("flags"), before.field("flags")) << run.transcript();
}

TEST_F(WineScan, AnEmptyOrMissingListLeavesTheNameBufferAlone) {
  const HostRun run = run_host({"reg-clear", "scan", "reg-drop", "scan", "reg-clear"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK,
                                             MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].number("untouched"), 1);
  EXPECT_EQ(run.steps[3].number("untouched"), 1);
}

TEST_F(WineScan, RepliesThatOnlyResembleTheIdentificationAreNotTheAdapter) {
  const std::string identification_text = korvel::sim::kIdentificationText;
  Bytes status_first{korvel::adapter::kStatusOk};
  const Bytes text = text_bytes(identification_text);
  status_first.insert(status_first.end(), text.begin(), text.end());

  PtyAdapter mute(always(silent()));
  PtyAdapter six_bytes(always(reply(text_bytes("MDB_IF"))));
  PtyAdapter versioned(always(reply(status_first)));
  attach("COM5", mute);
  attach("COM7", six_bytes);
  attach("COM8", versioned);
  // COM6 has no device behind it.
  const auto list = listing({"COM5", "COM6", "COM7", "COM8"});
  const HostRun run =
      run_host(list + std::vector<std::string>{"scan", "open COM8", "version #1 64", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  const HostStep &scan = run.steps[list.size()];
  EXPECT_EQ(results_from(run, list.size()),
            (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(scan.field("name"), "") << "found " << scan.text("name");
  EXPECT_EQ(scan.number("untouched"), 0);
  EXPECT_EQ(run.steps[list.size() + 2].text("text"), identification_text);
  EXPECT_EQ(mute.request_count(), 1U);
  EXPECT_EQ(six_bytes.request_count(), 1U);
  EXPECT_EQ(versioned.request_count(), 2U);
}

TEST_F(WineScan, SkipsValuesThatAreNotShortStrings) {
  PtyAdapter decoy(always(identification()));
  PtyAdapter adapter(always(identification()));
  // Where a value would lead if it were read as a name, whole or cut short.
  for (const char *port : {"COM9", "COM12345", "COM1234"}) {
    attach(port, decoy);
  }
  attach("COM6", adapter);
  // Listed values that are all skipped still count as ports tried: the
  // buffer must not keep an earlier name.
  const HostRun run = run_host({"reg-clear", "reg-dword number 9", "reg-bin bytes 434F4D3900",
                                "reg-sz long COM12345", "reg-sz port COM6", "scan", "reg-clear",
                                "reg-dword number 9", "reg-sz long COM12345", "scan"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), std::vector<int>(10, MDB_IF_OK)) << run.transcript();
  EXPECT_EQ(run.steps[5].text("name"), "COM6");
  EXPECT_EQ(run.steps[9].field("name"), "") << "found " << run.steps[9].text("name");
  EXPECT_EQ(run.steps[9].number("untouched"), 0);
  EXPECT_EQ(decoy.request_count(), 0U);
  EXPECT_EQ(adapter.request_count(), 1U);
}

TEST_F(WineScan, LeavesTheOpenInterfaceCurrentAndUsable) {
  PtyAdapter adapter([](const Bytes &command) {
    return command == Bytes{korvel::adapter::kReadVersionCommand}
               ? identification()
               : korvel::sim::default_answer(command);
  });
  attach("COM6", adapter);
  const auto list = listing({"COM6"});
  const HostRun run = run_host(
      list + std::vector<std::string>{"open COM6", "scan", "reset #1", "close #1", "scan"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(results_from(run, list.size()),
            (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK}))
      << run.transcript();
  // On Windows the interface's exclusive open keeps the probe out and the
  // name comes back empty. Wine does not enforce exclusive opens of serial
  // devices, so there the probe gets through and finds the adapter.
  const std::string during_open = run.steps[list.size() + 1].text("name");
  EXPECT_TRUE(during_open.empty() || during_open == "COM6") << during_open;
  EXPECT_EQ(run.steps[list.size() + 4].text("name"), "COM6");
}

} // namespace
} // namespace wine_test
