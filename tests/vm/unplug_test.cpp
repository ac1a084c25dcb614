// The FTDI pulled out of its USB port (QEMU's device_del) while the library
// uses it, and put back (device_add). The ftdi_sio driver hangs the open
// terminal up: the queued-count query, the purge and writes fail from then
// on. Every call must end within its bound with a failure, the close must
// work at once and leave no descriptor behind, and once the FTDI is back the
// scan must find the adapter and a new open must work.
#include "exchange.h"
#include "test_machine.h"

#include "korvel_dll.h"

#include <cerrno>
#include <thread>

namespace vm_host {
namespace {

// Under the silence timeout, so that without the unplug the reply would
// arrive in time; the plug is pulled well before it.
constexpr const char *kReplyDelayMs = "400";
constexpr std::chrono::milliseconds kUnplugAfterRequest{100};
constexpr std::chrono::seconds kRequestTimeout{5};

// The documented bounds, as the library's own constants give them, with
// room for the emulation's pace.
constexpr double kSlackMs = 400;
constexpr double kExecBoundMs =
    korvel::kCommandAttempts * (korvel::kSilentExchangeMs + korvel::kRetryDelayMs) + kSlackMs;
constexpr double kSingleExchangeBoundMs = korvel::kSilentExchangeMs + kSlackMs;
// A call on a line known to be dead: no receive, only the pauses.
constexpr double kDeadLineCallMs = korvel::kCommandAttempts * 2 * korvel::kRetryDelayMs + kSlackMs;
// Two listed ports, one silent and one pulled out mid-probe.
constexpr double kScanBoundMs = 2 * korvel::kSilentExchangeMs + kSlackMs;
constexpr double kPromptCallMs = 250;

constexpr const char *kCommand = "0A";
constexpr const char *kReplyCapacity = "16";

class Unplug : public VmTest {
protected:
  long long descriptors() { return must("fds").number("count"); }

  // Pulls the plug once the guest's request has gone out; the adapter goes
  // quiet first, so that no late reply is left on the line.
  void unplug_after_request(std::size_t mark) {
    ASSERT_TRUE(line(GuestLine::Usb).wait_for_guest_output(mark, 1, kRequestTimeout));
    std::this_thread::sleep_for(kUnplugAfterRequest);
    line(GuestLine::Usb).silence();
    ASSERT_TRUE(machine().qemu().unplug_usb()) << machine().qemu().failure();
  }

  // Every transaction on the dead interface fails within its bound; the
  // close works at once; no descriptor is left.
  void expect_dead_interface_fails_promptly(long long descriptors_before) {
    for (const std::string &call :
         {std::string("exec ") + kCommand + " " + kReplyCapacity,
          std::string("version ") + kReplyCapacity, std::string("reset")}) {
      SCOPED_TRACE(call);
      const AgentReply after = must(call);
      EXPECT_NE(after.number("r"), MDB_IF_OK);
      EXPECT_LT(after.ms(), kDeadLineCallMs);
      std::printf("on the dead line, %s: r=%lld in %.1f ms\n", call.c_str(), after.number("r"),
                  after.ms());
    }
    const AgentReply closed = must("close");
    EXPECT_EQ(closed.number("r"), MDB_IF_OK);
    EXPECT_LT(closed.ms(), kPromptCallMs);
    report("close after the unplug", closed.ms());
    EXPECT_EQ(descriptors(), descriptors_before);
  }

  // device_add: the scan finds the adapter on the port again, and a new open
  // works.
  void expect_adapter_found_again() {
    const double plugged = machine().plug_usb();
    ASSERT_GE(plugged, 0) << "ttyUSB0 did not come back";
    report("device_add until ttyUSB0 is there", plugged);
    serve(GuestLine::Usb, {"--identify"});
    const AgentReply scan = must("scan");
    EXPECT_EQ(scan.number("r"), MDB_IF_OK);
    EXPECT_EQ(scan.text("port"), kUsbPort);
    ASSERT_EQ(must(std::string("open ") + kUsbPort).number("r"), MDB_IF_OK);
    EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
    EXPECT_EQ(must("close").number("r"), MDB_IF_OK);
  }
};

struct MidCallCase {
  std::string call;
  std::int32_t result;
  double bound_ms;
};

TEST_F(Unplug, MidCallWaitingForADelayedReply) {
  const MidCallCase cases[] = {
      // The first attempt hears nothing; the next two cannot purge the line.
      {std::string("exec ") + kCommand + " " + kReplyCapacity, MDB_IF_LINK_ERROR, kExecBoundMs},
      // One attempt, which hears nothing.
      {std::string("version ") + kReplyCapacity, MDB_IF_TIMEOUT, kSingleExchangeBoundMs},
      {"reset", MDB_IF_TIMEOUT, kSingleExchangeBoundMs},
  };
  for (const MidCallCase &mid_call : cases) {
    SCOPED_TRACE(mid_call.call);
    serve(GuestLine::Usb, {"--delay", kReplyDelayMs});
    const long long before = descriptors();
    ASSERT_EQ(must(std::string("open ") + kUsbPort).number("r"), MDB_IF_OK);
    const std::size_t mark = line(GuestLine::Usb).guest_output_mark();
    guest().start(mid_call.call);
    unplug_after_request(mark);
    const AgentReply answer = guest().finish();
    EXPECT_EQ(answer.number("r"), mid_call.result) << answer.raw();
    EXPECT_LT(answer.ms(), mid_call.bound_ms);
    report(mid_call.call + " with the FTDI pulled out mid-call", answer.ms());
    expect_dead_interface_fails_promptly(before);
    expect_adapter_found_again();
  }
}

TEST_F(Unplug, BetweenTwoCalls) {
  serve(GuestLine::Usb);
  const long long before = descriptors();
  ASSERT_EQ(must(std::string("open ") + kUsbPort).number("r"), MDB_IF_OK);
  EXPECT_EQ(must("reset").number("r"), MDB_IF_OK);
  line(GuestLine::Usb).silence();
  const double gone = machine().unplug_usb();
  ASSERT_GE(gone, 0) << "ttyUSB0 did not go away";
  report("device_del until ttyUSB0 is gone", gone);
  expect_dead_interface_fails_promptly(before);
  // The host tries the port again while it is gone.
  const AgentReply reopened = must(std::string("open ") + kUsbPort);
  EXPECT_EQ(reopened.number("r"), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(reopened.number("errno"), ENOENT);
  EXPECT_LT(reopened.ms(), kPromptCallMs);
  EXPECT_EQ(descriptors(), before);
  expect_adapter_found_again();
}

TEST_F(Unplug, DuringAScan) {
  // ttyS1 is probed first and stays silent; the FTDI goes while its probe
  // waits for the reply.
  serve(GuestLine::Usb, {"--identify", "--delay", kReplyDelayMs});
  const long long before = descriptors();
  const std::size_t mark = line(GuestLine::Usb).guest_output_mark();
  guest().start("scan");
  unplug_after_request(mark);
  const AgentReply scan = guest().finish();
  EXPECT_EQ(scan.number("r"), MDB_IF_OK);
  EXPECT_EQ(scan.text("port"), "-");
  EXPECT_EQ(scan.list("opened"), (std::vector<std::string>{std::string("/dev/") + kUartPort,
                                                           std::string("/dev/") + kUsbPort}));
  EXPECT_LT(scan.ms(), kScanBoundMs);
  report("scan with the FTDI pulled out mid-probe", scan.ms());
  EXPECT_EQ(descriptors(), before);
  expect_adapter_found_again();
}

} // namespace
} // namespace vm_host
