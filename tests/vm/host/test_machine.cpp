#include "test_machine.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vm_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDiagnosticLines = 30;
constexpr std::size_t kDiagnosticLineLength = 160;

double ms_since(Clock::time_point started) {
  return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

std::string image_file(const char *name) {
  return (std::filesystem::path(KORVEL_VM_IMAGE_DIR) / name).string();
}

std::string kernel_path() {
  std::ifstream file(image_file("kernel.path"));
  std::string path;
  std::getline(file, path);
  return path;
}

std::string wait_for_port(const char *port, const char *state) {
  return std::string("wait ") + port + " " + state + " " + std::to_string(kPortChangeTimeoutMs);
}

class MachineEnvironment : public testing::Environment {
public:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(TestMachine::get().boot(why)) << why;
  }
  void TearDown() override { TestMachine::get().shut_down(); }
};

[[maybe_unused]] testing::Environment *const kMachineEnvironment =
    testing::AddGlobalTestEnvironment(new MachineEnvironment);

} // namespace

TestMachine &TestMachine::get() {
  static TestMachine machine;
  return machine;
}

bool TestMachine::boot(std::string &why) {
  const auto started = Clock::now();
  const std::string kernel = kernel_path();
  if (kernel.empty()) {
    why = "no kernel named in " + image_file("kernel.path") + ": build_image.sh has not run";
    return false;
  }
  qemu_ = std::make_unique<QemuMachine>(
      MachineImage{KORVEL_QEMU, kernel, image_file("initramfs.cpio"), KORVEL_VM_RUN_DIR});
  if (!qemu_->started()) {
    why = qemu_->failure();
    return false;
  }
  // Holding the far ends open from the start lets QEMU attach the FTDI.
  uart_ =
      std::make_unique<AdapterLine>(qemu_->pty_path(GuestLine::Uart),
                                    qemu_->output_log(GuestLine::Uart), KORVEL_VM_RUN_DIR, "uart");
  usb_ = std::make_unique<AdapterLine>(qemu_->pty_path(GuestLine::Usb),
                                       qemu_->output_log(GuestLine::Usb), KORVEL_VM_RUN_DIR, "usb");
  if (!uart_->held() || !usb_->held()) {
    why = "cannot open the far ends of the guest's ports";
    return false;
  }
  auto agent = std::make_unique<GuestAgent>(*qemu_);
  if (!agent->wait_until_ready(kBootTimeout)) {
    why = "the guest's agent did not start; the console said:\n" + qemu_->console_tail();
    return false;
  }
  report("boot to the agent", ms_since(started));
  for (const char *port : {kUartPort, kUsbPort}) {
    const AgentReply present = agent->call(wait_for_port(port, "present"));
    if (present.number("reached") != 1) {
      why = std::string(port) + " did not appear in the guest: " + present.raw();
      return false;
    }
  }
  report("boot until both ports are there", ms_since(started));
  agent_ = std::move(agent);
  return true;
}

void TestMachine::shut_down() {
  if (agent_) {
    agent_->quit();
  }
  if (qemu_) {
    (void)qemu_->wait_for_power_off(std::chrono::seconds(20));
  }
  agent_.reset();
  uart_.reset();
  usb_.reset();
  qemu_.reset();
}

double TestMachine::unplug_usb() {
  if (!qemu_->unplug_usb()) {
    return -1;
  }
  const AgentReply gone = agent_->call(wait_for_port(kUsbPort, "absent"));
  return gone.number("reached") == 1 ? gone.ms() : -1;
}

double TestMachine::plug_usb() {
  if (!qemu_->plug_usb()) {
    return -1;
  }
  const AgentReply back = agent_->call(wait_for_port(kUsbPort, "present"));
  return back.number("reached") == 1 ? back.ms() : -1;
}

void TestMachine::restore() {
  (void)agent_->call("clean");
  uart_->silence();
  usb_->silence();
  if (!qemu_->usb_plugged()) {
    (void)plug_usb();
  }
  (void)agent_->call(wait_for_port(kUsbPort, "present"));
  uart_->discard_unread();
  usb_->discard_unread();
}

std::string TestMachine::diagnostics() {
  // The last lines, each cut short: answers carry long hex values.
  std::string text = "console:\n";
  std::istringstream lines(qemu_->console_tail());
  std::vector<std::string> tail;
  for (std::string line; std::getline(lines, line);) {
    tail.push_back(line.substr(0, kDiagnosticLineLength));
  }
  for (std::size_t i = tail.size() > kDiagnosticLines ? tail.size() - kDiagnosticLines : 0;
       i < tail.size(); ++i) {
    text += tail[i] + "\n";
  }
  if (agent_) {
    const std::string log = agent_->call("kernel-log").hex_text("text");
    std::size_t from = log.size();
    for (std::size_t lines = 0; from > 0 && lines <= kDiagnosticLines; --from) {
      lines += log[from - 1] == '\n' ? 1 : 0;
    }
    text += "\nkernel log:\n" + log.substr(from);
  }
  return text + "\nQEMU's logs: " + KORVEL_VM_RUN_DIR;
}

void VmTest::SetUp() {
  ASSERT_TRUE(machine().booted()) << "the test machine is not running";
  machine().restore();
}

void VmTest::TearDown() {
  if (HasFailure() && machine().booted()) {
    std::printf("%s\n", machine().diagnostics().c_str());
  }
}

void VmTest::serve(GuestLine which, const std::vector<std::string> &options) {
  ASSERT_TRUE(line(which).serve(options)) << "korvel-sim did not start:\n"
                                          << line(which).simulator_log();
}

AgentReply VmTest::must(const std::string &command) {
  AgentReply reply = guest().call(command);
  EXPECT_TRUE(reply.ok()) << command << ":" << reply.raw();
  return reply;
}

void report(const std::string &what, double ms) {
  std::printf("measured: %s: %.0f ms\n", what.c_str(), ms);
  std::fflush(stdout);
}

std::string port_label(const testing::TestParamInfo<TestPort> &info) { return info.param.label; }

} // namespace vm_host
