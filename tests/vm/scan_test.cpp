// The scan over the guest's own port list (the tty class in sysfs). The
// console (ttyS0) is never opened, the 8250 driver's placeholders (ttyS2,
// ttyS3) are left out, and the adapter is found on the port that answers
// with its identification. Which devices a scan opened comes from the
// agent's record of the library's open() calls.
#include "exchange.h"
#include "test_machine.h"
#include "tool_process.h"

#include "korvel_dll.h"

#include <algorithm>

namespace vm_host {
namespace {

// A probe of a port that never answers: the silence timeout and the pause.
constexpr double kSilentProbeMs = korvel::kSilentExchangeMs;
// Room for the other probes of a scan and for the emulation's pace.
constexpr double kScanSlackMs = 500;
constexpr double kPromptCallMs = 250;

enum class FarEnd { Silent, Answers, Identifies };

struct ScanCase {
  const char *name;
  FarEnd uart;
  FarEnd usb;
  const char *found; // "-": none
  std::vector<std::string> opened;
  bool waits_out_a_silent_port;
};

const std::string kUartDevice = std::string("/dev/") + kUartPort;
const std::string kUsbDevice = std::string("/dev/") + kUsbPort;

class Scan : public VmTest {
protected:
  void set_far_end(GuestLine which, FarEnd far_end) {
    if (far_end == FarEnd::Silent) {
      line(which).silence();
    } else {
      serve(which, far_end == FarEnd::Identifies ? std::vector<std::string>{"--identify"}
                                                 : std::vector<std::string>{});
    }
  }
};

TEST_F(Scan, FindsTheAdapterWhereItAnswersAndOpensNoOtherDevice) {
  const ScanCase cases[] = {
      {"silent UART, adapter on USB",
       FarEnd::Silent,
       FarEnd::Identifies,
       kUsbPort,
       {kUartDevice, kUsbDevice},
       true},
      {"UART answers but is no adapter, adapter on USB",
       FarEnd::Answers,
       FarEnd::Identifies,
       kUsbPort,
       {kUartDevice, kUsbDevice},
       false},
      {"adapter on the UART, USB silent",
       FarEnd::Identifies,
       FarEnd::Silent,
       kUartPort,
       {kUartDevice},
       false},
      {"silent UART, USB answers but is no adapter",
       FarEnd::Silent,
       FarEnd::Answers,
       "-",
       {kUartDevice, kUsbDevice},
       true},
  };
  for (const ScanCase &scan_case : cases) {
    SCOPED_TRACE(scan_case.name);
    set_far_end(GuestLine::Uart, scan_case.uart);
    set_far_end(GuestLine::Usb, scan_case.usb);
    const AgentReply scan = must("scan");
    EXPECT_EQ(scan.number("r"), MDB_IF_OK);
    EXPECT_EQ(scan.text("port"), scan_case.found);
    const std::vector<std::string> opened = scan.list("opened");
    EXPECT_EQ(opened, scan_case.opened);
    for (const char *never : {kConsolePort, kPhantomPorts[0], kPhantomPorts[1]}) {
      EXPECT_EQ(std::count(opened.begin(), opened.end(), "/dev/" + std::string(never)), 0) << never;
    }
    if (scan_case.waits_out_a_silent_port) {
      EXPECT_GE(scan.ms(), kSilentProbeMs);
      EXPECT_LT(scan.ms(), kSilentProbeMs + kScanSlackMs);
    } else {
      EXPECT_LT(scan.ms(), kSilentProbeMs);
    }
    report(std::string("scan, ") + scan_case.name, scan.ms());
  }
}

TEST_F(Scan, APlaceholderWithoutAUartFailsAtOnceWhenOpenedByName) {
  for (const char *phantom : kPhantomPorts) {
    SCOPED_TRACE(phantom);
    const AgentReply opened = must(std::string("open ") + phantom);
    EXPECT_EQ(opened.number("r"), MDB_IF_OPEN_OR_CRC_ERROR);
    EXPECT_LT(opened.ms(), kPromptCallMs);
    std::printf("open %s: %s\n", phantom, opened.raw().c_str());
  }
}

TEST_F(Scan, TheKorvelToolFindsTheAdapterInsideTheGuest) {
  serve(GuestLine::Usb, {"--identify"});
  const AgentReply run = must(std::string("run 0 ") + kGuestKorvel + " scan");
  EXPECT_EQ(run.number("status"), tool_test::kExitSuccess) << run.hex_text("output");
  EXPECT_NE(run.hex_text("output").find(kUsbPort), std::string::npos) << run.hex_text("output");
}

// korvel ports over the guest's real sysfs: the emulated FTDI with its USB
// ids, driver and latency timer, the UART, and under -v the console and the
// placeholders as left out.
TEST_F(Scan, KorvelPortsShowsTheRealDriversAsAScanSeesThem) {
  const AgentReply run = must(std::string("run 0 ") + kGuestKorvel + " -v ports");
  const std::string output = run.hex_text("output");
  EXPECT_EQ(run.number("status"), tool_test::kExitSuccess) << output;
  const auto line_of = [&output](const std::string &port) {
    const std::size_t at = output.find("\n" + port + " ");
    return at == std::string::npos ? std::string()
                                   : output.substr(at + 1, output.find('\n', at + 1) - at - 1);
  };
  const std::string usb = line_of(kUsbPort);
  EXPECT_NE(usb.find("driver ftdi_sio"), std::string::npos) << output;
  EXPECT_NE(usb.find("USB 0403:6001"), std::string::npos) << output;
  EXPECT_NE(usb.find("latency timer"), std::string::npos) << output;
  EXPECT_NE(line_of(kUartPort).find("driver serial"), std::string::npos) << output;
  EXPECT_NE(line_of(kConsolePort).find("left out: the kernel's console"), std::string::npos)
      << output;
  for (const char *phantom : kPhantomPorts) {
    EXPECT_NE(line_of(phantom).find("left out: a placeholder"), std::string::npos) << output;
  }
  // The probed ports come first, in the scan's order.
  EXPECT_LT(output.find("\n" + std::string(kUartPort) + " "),
            output.find("\n" + std::string(kUsbPort) + " "));
  EXPECT_LT(output.find("\n" + std::string(kUsbPort) + " "), output.find("that a scan leaves out"));
}

} // namespace
} // namespace vm_host
