// The interface's port is the library's alone while it is open, against the
// real drivers: other programs are refused, root among them.
#include "test_machine.h"
#include "tool_process.h"

#include "korvel_dll.h"

#include <cerrno>

namespace vm_host {
namespace {

// korvel's exit status when the open failed with result 2, and what it says.
constexpr int kKorvelOpenRefused = tool_test::kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR;
constexpr const char *kHeldElsewhere = "held by another program";

std::string korvel_reset(int uid, const char *port) {
  return "run " + std::to_string(uid) + " " + kGuestKorvel + " reset " + port;
}

using ExclusiveOpen = VmPortTest;

TEST_P(ExclusiveOpen, ASecondOpenFromAnotherProcessIsRefusedForRootAndForAnOrdinaryUser) {
  serve(port().line);
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  for (const int uid : {0, kOrdinaryUser}) {
    SCOPED_TRACE("korvel as uid " + std::to_string(uid));
    const AgentReply refused = must(korvel_reset(uid, port().name));
    EXPECT_EQ(refused.number("status"), kKorvelOpenRefused) << refused.hex_text("output");
    EXPECT_NE(refused.hex_text("output").find(kHeldElsewhere), std::string::npos)
        << refused.hex_text("output");
  }
  // A program without the library is kept out by the driver itself.
  EXPECT_EQ(must("plain-open " + std::string(port().name) + " " + std::to_string(kOrdinaryUser))
                .number("errno"),
            EBUSY);
  EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
  EXPECT_EQ(must("close").number("r"), MDB_IF_OK);

  // Closed, the port opens for the same user: what refused it was the
  // exclusive open, not a permission.
  EXPECT_EQ(must("plain-open " + std::string(port().name) + " " + std::to_string(kOrdinaryUser))
                .number("errno"),
            0);
  const AgentReply allowed = must(korvel_reset(kOrdinaryUser, port().name));
  EXPECT_EQ(allowed.number("status"), tool_test::kExitSuccess) << allowed.hex_text("output");
}

// Opening the interface's port again closes the superseded handle and opens
// the port anew: the port stays the library's alone.
TEST_P(ExclusiveOpen, OpeningThePortAgainKeepsItExclusive) {
  serve(port().line);
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  EXPECT_EQ(must("settings interface").number("exclusive"), 1);
  EXPECT_EQ(must("plain-open " + std::string(port().name) + " " + std::to_string(kOrdinaryUser))
                .number("errno"),
            EBUSY);
  EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
}

// The probe finds the port held and leaves it: no request reaches the
// adapter behind it, and the interface keeps its settings and its flag.
TEST_P(ExclusiveOpen, AScanWhileTheInterfaceIsOpenSendsNothingOnItsPortAndKeepsItsSettings) {
  serve(port().line, {"--identify"});
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  const AgentReply before = must("settings interface");
  const AgentReply scan = must("scan");
  EXPECT_EQ(scan.number("r"), MDB_IF_OK);
  EXPECT_EQ(scan.text("port"), "-");
  EXPECT_TRUE(far_end().simulator_requests().empty());
  const AgentReply after = must("settings interface");
  for (const char *key : {"speed", "iflag", "oflag", "cflag", "lflag", "cc", "exclusive", "dtr"}) {
    EXPECT_EQ(after.text(key), before.text(key)) << key;
  }
  EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
}

INSTANTIATE_TEST_SUITE_P(Drivers, ExclusiveOpen, testing::Values(kUartTestPort, kUsbTestPort),
                         port_label);

using ScanWhileOpen = VmTest;

// Opening a terminal raises DTR and RTS in the kernel, before any check of
// the library can run; root passes the exclusive flag, so a probe running as
// root that opens the interface's own port undoes its RTS off.
TEST_F(ScanWhileOpen, AScanInTheSameProcessLeavesTheInterfacesRtsOff) {
  ASSERT_EQ(must(std::string("open ") + kUartPort).number("r"), MDB_IF_OK);
  ASSERT_EQ(must("settings interface").number("rts"), 0);
  EXPECT_EQ(must("scan").number("r"), MDB_IF_OK);
  EXPECT_EQ(must("settings interface").number("rts"), 0)
      << "the scan's open of the interface's own port raised RTS";
}

using ForkedChildOpen = VmTest;

// A child forked while the interface is open tries to open the same port
// with the library. Its open must fail, and must leave the parent's port as
// exclusive as it was.
TEST_F(ForkedChildOpen, AChildsOpenOfTheSamePortLeavesTheParentsPortExclusive) {
  serve(GuestLine::Uart);
  ASSERT_EQ(must(std::string("open ") + kUartPort).number("r"), MDB_IF_OK);
  const AgentReply forked = must(std::string("fork-open ") + kUartPort);
  std::printf("after the child's open: %s\n", forked.raw().c_str());
  EXPECT_EQ(forked.number("child_r"), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(forked.number("exclusive"), 1) << "the child's open cleared the parent's flag";
  EXPECT_EQ(forked.number("user_open_errno"), EBUSY) << "an ordinary user could open the port";
  EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
}

} // namespace
} // namespace vm_host
