// The one machine all virtual-machine tests share: booted once for the test
// program, and put back into the same state before every test.
#pragma once

#include "adapter_line.h"
#include "guest_agent.h"
#include "qemu_machine.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

namespace vm_host {

// The guest's ports.
constexpr const char *kConsolePort = "ttyS0";
constexpr const char *kUartPort = "ttyS1";
constexpr const char *kPhantomPorts[] = {"ttyS2", "ttyS3"};
constexpr const char *kUsbPort = "ttyUSB0";

// Where in the guest the tools are, and the uid of an ordinary user there.
constexpr const char *kGuestKorvel = "/bin/korvel";
constexpr int kOrdinaryUser = 1000;

// How long the guest may take to boot to the agent, and to see its FTDI
// come or go.
constexpr std::chrono::milliseconds kBootTimeout{180000};
constexpr int kPortChangeTimeoutMs = 20000;

// One of the two ports a test runs on.
struct TestPort {
  const char *name;
  GuestLine line;
  const char *label; // for parameterised test names
};
constexpr TestPort kUartTestPort{kUartPort, GuestLine::Uart, "Uart8250"};
constexpr TestPort kUsbTestPort{kUsbPort, GuestLine::Usb, "UsbFtdi"};

class TestMachine {
public:
  static TestMachine &get();

  // Boots the machine; false, with the reason, when it did not come up.
  bool boot(std::string &why);
  void shut_down();
  bool booted() const { return agent_ != nullptr; }

  QemuMachine &qemu() { return *qemu_; }
  GuestAgent &guest() { return *agent_; }
  AdapterLine &line(GuestLine line) { return line == GuestLine::Uart ? *uart_ : *usb_; }

  // The FTDI out of its USB port, with the guest's port gone; and back, with
  // the port there again. Each returns how long the guest took (ms), or a
  // negative value when it did not happen.
  double unplug_usb();
  double plug_usb();

  // Before every test: no interface open and no port held in the guest,
  // the FTDI plugged in and its port there, no simulator running, nothing
  // left unread.
  void restore();
  // After a failing test: the end of the console and of the kernel's log.
  std::string diagnostics();

private:
  std::unique_ptr<QemuMachine> qemu_;
  std::unique_ptr<GuestAgent> agent_;
  std::unique_ptr<AdapterLine> uart_;
  std::unique_ptr<AdapterLine> usb_;
};

// The fixture of every virtual-machine test.
class VmTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  TestMachine &machine() { return TestMachine::get(); }
  GuestAgent &guest() { return machine().guest(); }
  AdapterLine &line(GuestLine which) { return machine().line(which); }

  // Starts korvel-sim on the port's far end; the test fails if it does not.
  void serve(GuestLine which, const std::vector<std::string> &options = {});
  // A command that must be carried out; the test fails if it is not.
  AgentReply must(const std::string &command);
};

// VmTest over each of the two ports.
class VmPortTest : public VmTest, public testing::WithParamInterface<TestPort> {
protected:
  const TestPort &port() const { return GetParam(); }
  AdapterLine &far_end() { return line(port().line); }
};

// A duration measured, in the test's output.
void report(const std::string &what, double ms);

inline void PrintTo(const TestPort &port, std::ostream *out) { *out << port.name; }

std::string port_label(const testing::TestParamInfo<TestPort> &info);

} // namespace vm_host
