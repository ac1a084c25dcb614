// The line as the library sets it up, read back from the kernel's 8250 and
// FTDI drivers and from the emulated hardware they programmed; a probe that
// leaves a shared port as it found it; and a close that does not wait for
// output the line will not take.
#include "device_trace.h"
#include "test_machine.h"
#include "worked_frames.h"

#include "korvel_dll.h"

#include <algorithm>
#include <cstdio>

namespace vm_host {
namespace {

constexpr long kLineBaud = 38400;
constexpr int kLineDataBits = 8;

// A 16550's line control register for 8 data bits, 1 stop bit, no parity
// and no break, with the divisor latch closed. The parity type bits mean
// nothing while parity is off (Linux sets "even" there), so they are masked.
constexpr long long kLineControl8N1 = 0x03;
constexpr long long kLineControlWithoutParityType = 0xCF;
constexpr long long kModemControlDtr = 0x01;
constexpr long long kModemControlRts = 0x02;

// What a previous program left on the port (the agent's "spoil").
constexpr long kSpoiledBaud = 9600;
constexpr int kSpoiledDataBits = 7;

// A close, or a failing call on a dead line, that does not wait for the line.
constexpr double kPromptCallMs = 250;

// More than the line's buffers hold on the way to a far end that reads nothing.
constexpr long kMostQueuedBytes = 1 << 20;

// Flags that a binary-transparent line without flow control has off.
constexpr const char *kFlagsOff[] = {"parenb", "cstopb", "crtscts", "ixon",  "ixoff",
                                     "ixany",  "icrnl",  "istrip",  "inpck", "icanon",
                                     "echo",   "isig",   "opost"};

void expect_interface_line(const AgentReply &line) {
  EXPECT_EQ(line.number("speed"), kLineBaud);
  EXPECT_EQ(line.number("ispeed"), kLineBaud);
  EXPECT_EQ(line.number("csize"), kLineDataBits);
  for (const char *flag : kFlagsOff) {
    EXPECT_EQ(line.number(flag), 0) << flag;
  }
  EXPECT_EQ(line.number("clocal"), 1);
  EXPECT_EQ(line.number("cread"), 1);
  EXPECT_EQ(line.number("vmin"), 0);
  EXPECT_EQ(line.number("vtime"), 0);
  EXPECT_EQ(line.number("dtr"), 1);
  EXPECT_EQ(line.number("rts"), 0);
}

void expect_spoiled(const AgentReply &line) {
  EXPECT_EQ(line.number("speed"), kSpoiledBaud);
  EXPECT_EQ(line.number("csize"), kSpoiledDataBits);
  for (const char *flag : {"parenb", "cstopb", "crtscts", "ixon", "ixoff", "icanon", "echo"}) {
    EXPECT_EQ(line.number(flag), 1) << flag;
  }
}

void expect_line_programming(const LineProgramming &line) {
  EXPECT_EQ(line.baud, kLineBaud);
  EXPECT_EQ(line.parity, 'N');
  EXPECT_EQ(line.data_bits, kLineDataBits);
  EXPECT_EQ(line.stop_bits, 1);
}

using LineSettings = VmPortTest;

TEST_P(LineSettings, OpenGivesA38400RawLineWithDtrOnAndRtsOffWhateverWasLeftBefore) {
  const std::string trace = machine().qemu().device_trace();
  expect_spoiled(must("spoil " + std::string(port().name)));
  const std::size_t mark = trace_mark(trace);

  const AgentReply opened = must("open " + std::string(port().name));
  ASSERT_EQ(opened.number("r"), MDB_IF_OK);
  EXPECT_EQ(opened.list("opened"), std::vector<std::string>{"/dev/" + std::string(port().name)});
  const AgentReply line = must("settings interface");
  std::printf("driver reports: %s\n", line.raw().c_str());
  expect_interface_line(line);

  if (port().line == GuestLine::Uart) {
    EXPECT_EQ(line.number("uart_lcr") & kLineControlWithoutParityType, kLineControl8N1);
    EXPECT_EQ(line.number("uart_mcr") & (kModemControlDtr | kModemControlRts), kModemControlDtr);
    expect_line_programming(uart_programming(trace, mark));
  } else {
    const FtdiProgramming ftdi = ftdi_programming(trace);
    expect_line_programming(ftdi.line);
    EXPECT_EQ(ftdi.flow_control, 0);
    EXPECT_EQ(ftdi.dtr, 1);
    EXPECT_EQ(ftdi.rts, 0);
  }
  EXPECT_EQ(must("close").number("r"), MDB_IF_OK);
}

using ProbeRestore = VmPortTest;

// Another program shares the port (a plain open, no exclusive flag) with
// its own settings; a scan probes the port while it is open. The probe
// leaves the modem lines alone: the interface's RTS off is not applied.
TEST_P(ProbeRestore, AScanLeavesAPortThatAnotherProgramHoldsAsItWas) {
  serve(GuestLine::Uart);
  serve(GuestLine::Usb);
  const AgentReply before = must("hold " + std::string(port().name));
  expect_spoiled(before);
  EXPECT_EQ(before.number("dtr"), 1);
  EXPECT_EQ(before.number("rts"), 1);

  const AgentReply scan = must("scan");
  EXPECT_EQ(scan.number("r"), MDB_IF_OK);
  EXPECT_EQ(scan.text("port"), "-");
  const std::vector<std::string> opened = scan.list("opened");
  EXPECT_NE(std::find(opened.begin(), opened.end(), "/dev/" + std::string(port().name)),
            opened.end());
  // The probe's request crossed the line at the probe's settings.
  EXPECT_EQ(far_end().simulator_requests(), std::vector<Bytes>{worked_frames::kReadVersionWire});

  const AgentReply after = must("settings held");
  for (const char *key : {"speed", "ispeed", "iflag", "oflag", "cflag", "lflag", "cc", "modem"}) {
    EXPECT_EQ(after.text(key), before.text(key)) << key;
  }
}

using CloseWithOutputQueued = VmTest;

// Nothing reads ttyS1's far end, so the line stops taking output once the
// buffers on the way are full; the driver then still holds what was written.
TEST_F(CloseWithOutputQueued, ClosingAUartWhoseFarEndTakesNothingReturnsAtOnce) {
  ASSERT_EQ(must(std::string("open ") + kUartPort).number("r"), MDB_IF_OK);
  const AgentReply queued = must("queue " + std::to_string(kMostQueuedBytes));
  EXPECT_EQ(queued.number("stalled"), 1);
  EXPECT_GT(queued.number("outq"), 0);
  std::printf("queued: %s\n", queued.raw().c_str());

  const AgentReply closed = must("close");
  EXPECT_EQ(closed.number("r"), MDB_IF_OK);
  EXPECT_LT(closed.ms(), kPromptCallMs);
  report("close with " + std::to_string(queued.number("outq")) + " bytes queued", closed.ms());
}

INSTANTIATE_TEST_SUITE_P(Drivers, LineSettings, testing::Values(kUartTestPort, kUsbTestPort),
                         port_label);
INSTANTIATE_TEST_SUITE_P(Drivers, ProbeRestore, testing::Values(kUartTestPort, kUsbTestPort),
                         port_label);

} // namespace
} // namespace vm_host
