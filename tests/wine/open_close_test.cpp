// Opening and closing the interface through the Windows DLL, on ports that
// Wine maps to pseudo-terminals.
#include "korvel_dll.h"
#include "packet_pty.h"
#include "wine_test.h"

namespace wine_test {
namespace {

// What GetLastError() holds after a refused open.
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorPathNotFound = 3;
constexpr long kErrorNotSupported = 50;
constexpr long kErrorInvalidName = 123;

using WineOpenClose = WineTest;

TEST_F(WineOpenClose, CloseAcceptsOnlyTheCurrentHandleAndOnlyOnce) {
  PtyAdapter adapter;
  attach("COM5", adapter);
  const HostRun run = run_host(
      {"open COM5", "close null", "close foreign", "reset #1", "close #1", "close #1", "reset #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(),
            (std::vector<int>{MDB_IF_OK, MDB_IF_BAD_HANDLE, MDB_IF_BAD_HANDLE, MDB_IF_OK, MDB_IF_OK,
                              MDB_IF_BAD_HANDLE, MDB_IF_BAD_HANDLE}))
      << run.transcript();
  EXPECT_EQ(run.steps[0].field("kind"), "valid");
  // The library must not have closed a handle it was merely shown.
  EXPECT_EQ(run.steps[2].number("foreign_alive"), 1);
  // Only the reset on the open interface reached the adapter.
  EXPECT_EQ(commands_received(adapter), (std::vector<Bytes>{{korvel::adapter::kLineResetCommand}}));
}

// Closing purges the output the line has not taken, so that the close never
// waits for a stalled device; Wine passes the purge on to the terminal.
TEST_F(WineOpenClose, ClosingDiscardsOutputTheLineHasNotTaken) {
  const PacketModePty line;
  ASSERT_FALSE(line.slave_path().empty());
  const PortLink link = WineSession::get().link_port("COM8", line.slave_path());
  const HostRun run = run_host({"open COM8", "reset #1", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_TIMEOUT, MDB_IF_OK}))
      << run.transcript();
  EXPECT_TRUE(line.output_was_discarded());
}

// Under "\\.\" and "\\?\" a name with a separator reaches more than ports:
// "pipe\kv" would connect to a named pipe's server. Such names are refused
// before anything opens, by the open and the scan's probe alike.
TEST_F(WineOpenClose, NamesWithSeparatorsReachNoPipe) {
  const HostRun run = run_host({"pipe-listen kv", "open pipe\\kv", "open pipe/kv", "reg-clear",
                                "reg-sz Serial0 pipe\\kv", "scan", "reg-clear", "pipe-clients",
                                "pipe-connect kv", "pipe-clients"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{0, MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OPEN_OR_CRC_ERROR,
                                             0, 0, MDB_IF_OK, 0, 0, 0, 0}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].number("error"), kErrorInvalidName);
  EXPECT_EQ(run.steps[2].number("error"), kErrorInvalidName);
  EXPECT_EQ(run.steps[5].field("name"), "") << "the scan found something";
  EXPECT_EQ(run.steps[7].number("connected"), 0) << "the library connected to the pipe";
  // The server does notice a client.
  EXPECT_EQ(run.steps[9].number("connected"), 1) << run.transcript();
}

TEST_F(WineOpenClose, AFailedOpenLeavesTheInvalidHandleCurrent) {
  PtyAdapter adapter;
  attach("COM5", adapter);
  // COM9 has no device behind it; a null name is refused outright.
  const HostRun run = run_host({"open COM5", "open COM9", "version invalid 16", "reset invalid",
                                "exec invalid 0A 8", "close invalid", "close invalid", "open -"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_LINK_ERROR,
                                             MDB_IF_LINK_ERROR, MDB_IF_LINK_ERROR, MDB_IF_OK,
                                             MDB_IF_BAD_HANDLE, MDB_IF_OPEN_OR_CRC_ERROR}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].field("kind"), "invalid");
  // The reason survives the close of the interface the open superseded.
  const long missing = run.steps[1].number("error");
  EXPECT_TRUE(missing == kErrorFileNotFound || missing == kErrorPathNotFound) << run.transcript();
  EXPECT_EQ(run.steps[4].number("len"), 8) << "a failed command must leave the length alone";
  EXPECT_EQ(run.steps[7].field("kind"), "invalid");
  EXPECT_EQ(run.steps[7].number("error"), kErrorInvalidName);
}

TEST_F(WineOpenClose, OpeningAgainSupersedesTheFirstHandle) {
  PtyAdapter adapter;
  attach("COM5", adapter);
  const HostRun run =
      run_host({"open COM5", "open COM5", "exec #1 0A 8", "reset #1", "version #1 32", "close #1",
                "version #2 32", "close #2", "open COM5", "close #3"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(),
            (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_BAD_HANDLE, MDB_IF_BAD_HANDLE,
                              MDB_IF_BAD_HANDLE, MDB_IF_BAD_HANDLE, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK,
                              MDB_IF_OK}))
      << run.transcript();
  EXPECT_FALSE(run.steps[1].has("same_as")) << "the second open handed out the first handle";
  EXPECT_EQ(run.steps[6].text("text"), korvel::sim::kDefaultVersionText);
  EXPECT_EQ(adapter.request_count(), 1U) << "calls with the superseded handle reached the port";
}

TEST_F(WineOpenClose, RefusedNamesLeaveTheOpenInterfaceCurrent) {
  PtyAdapter adapter;
  const std::string longest = "COM456789012345";
  const std::string too_long = longest + "6";
  attach(longest, adapter);
  attach(too_long, adapter);
  // NUL opens, but is no serial port.
  const HostRun run = run_host({"open " + longest, "reset #1", "open " + too_long, "open NUL",
                                "reset #1", "close #2", "close #3", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OPEN_OR_CRC_ERROR,
                                             MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OK, MDB_IF_BAD_HANDLE,
                                             MDB_IF_BAD_HANDLE, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(run.steps[2].field("kind"), "invalid");
  EXPECT_EQ(run.steps[2].number("error"), kErrorInvalidName);
  EXPECT_EQ(run.steps[3].field("kind"), "invalid");
  EXPECT_EQ(run.steps[3].number("error"), kErrorNotSupported);
  EXPECT_EQ(adapter.request_count(), 2U);
}

} // namespace
} // namespace wine_test
