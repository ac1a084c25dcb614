// korvel ports over a fake system tree: a USB FTDI, a USB CDC-ACM, an
// on-board UART, the console, a serial8250 placeholder, a name too long for
// a scan and a pseudo-terminal, laid out as the kernel lays them out.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <unistd.h>

namespace tool_test {
namespace {

namespace fs = std::filesystem;

constexpr const char *kUsbBus = "sys/devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char *kDialout = "dialout";

class KorvelPortsOnAFakeTree : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("korvel-ports-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev/pts");
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);

    usb_device("1-2", {{"idVendor", "0403"},
                       {"idProduct", "6001"},
                       {"manufacturer", "FTDI"},
                       {"product", "FT232R USB UART"},
                       {"serial", "A50285BI"}});
    const fs::path ftdi = dir(std::string(kUsbBus) + "/1-2/1-2:1.0/ttyUSB0");
    driver(ftdi, "usb-serial", "ftdi_sio");
    file(ftdi / "latency_timer", "16");
    tty("ttyUSB0", ftdi);
    node("ttyUSB0");

    usb_device("1-3", {{"idVendor", "2341"},
                       {"idProduct", "0043"},
                       {"manufacturer", "Arduino (www.arduino.cc)"},
                       {"product", "Arduino Uno"},
                       {"serial", "75735303"}});
    const fs::path acm = dir(std::string(kUsbBus) + "/1-3/1-3:1.0");
    driver(acm, "usb", "cdc_acm");
    tty("ttyACM0", acm);
    node("ttyACM0");

    // Newer kernels put two serial-base devices between the tty and the
    // UART's own device.
    tty("ttyS0", uart("sys/devices/pnp0/00:04", "serial"), "4");
    tty("ttyS1", uart("sys/devices/pnp0/00:05", "serial"), "4");
    tty("ttyS3", uart("sys/devices/platform/serial8250", "serial8250"), "0");
    file(root_ / "sys/class/tty/console/active", "tty0 ttyS0");
    node("ttyS0");
    node("ttyS1");
    node("ttyS3");

    usb_device("1-4", {{"idVendor", "0403"}, {"idProduct", "6015"}});
    const fs::path long_name = dir(std::string(kUsbBus) + "/1-4/1-4:1.0/ttyUSB10");
    driver(long_name, "usb-serial", "ftdi_sio");
    file(long_name / "latency_timer", "1");
    tty("ttyUSB10", long_name); // and no device node

    fs::create_directories(root_ / "sys/class/tty/tty0"); // a virtual terminal
    file(root_ / "dev/pts/3", "");
    file(root_ / "dev/pts/ptmx", "");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path dir(const std::string &path) {
    fs::create_directories(root_ / path);
    return root_ / path;
  }
  static void file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
  }
  void usb_device(const std::string &name,
                  const std::vector<std::pair<std::string, std::string>> &attributes) {
    const fs::path device = dir(std::string(kUsbBus) + "/" + name);
    for (const auto &[attribute, value] : attributes) {
      file(device / attribute, value);
    }
  }
  void driver(const fs::path &device, const std::string &bus, const std::string &name) {
    fs::create_directory_symlink(dir("sys/bus/" + bus + "/drivers/" + name), device / "driver");
    fs::create_directory_symlink(dir("sys/bus/" + bus), device / "subsystem");
  }
  fs::path uart(const std::string &device, const std::string &name) {
    driver(dir(device), "platform", name);
    const fs::path control = dir(device + "/" + fs::path(device).filename().string() + ":0");
    driver(control, "serial-base", "ctrl");
    const fs::path port = dir(control.lexically_relative(root_).string() + "/port.0");
    driver(port, "serial-base", "port");
    return port;
  }
  void tty(const std::string &name, const fs::path &device, const char *type = nullptr) {
    const fs::path entry = dir("sys/class/tty/" + name);
    fs::create_directory_symlink(device, entry / "device");
    if (type != nullptr) {
      file(entry / "type", type);
    }
  }
  // A device node only its owner and group may open, as Debian makes them.
  void node(const std::string &name) {
    const fs::path path = root_ / "dev" / name;
    file(path, "");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::group_write);
    if (const struct group *dialout = getgrnam(kDialout)) {
      ASSERT_EQ(chown(path.c_str(), 0, dialout->gr_gid), 0);
    }
  }

  ProcessResult ports(std::vector<std::string> options) {
    options.insert(options.end(), {"ports", "--root", root_.string()});
    return run_korvel(options);
  }

  fs::path root_;
};

TEST_F(KorvelPortsOnAFakeTree, ListsThePortsAScanProbesInItsOrderWithWhatTheSystemKnows) {
  const ProcessResult run = ports({});
  EXPECT_EQ(run.exit_code, kExitSuccess) << run.errors;
  EXPECT_EQ(run.output,
            "3 ports that a scan probes, in its order:\n"
            "ttyACM0   driver cdc_acm, USB 2341:0043, Arduino (www.arduino.cc), Arduino Uno, "
            "serial number 75735303, USB path 1-3:1.0\n"
            "ttyS1     driver serial\n"
            "ttyUSB0   driver ftdi_sio, USB 0403:6001, FTDI, FT232R USB UART, serial number "
            "A50285BI, USB path 1-2:1.0, latency timer 16 ms\n"
            "          note: the FTDI latency timer is 16 ms: each reply may reach the host up to "
            "16 ms late; set it to 1 ms (as root): echo 1 > "
            "/sys/class/tty/ttyUSB0/device/latency_timer (a udev rule keeps it when the device "
            "is plugged in again)\n"
            "4 more that a scan leaves out (korvel -v ports lists them, with the reason)\n");
}

TEST_F(KorvelPortsOnAFakeTree, VerboseAddsTheLeftOutPortsWithTheReasonAndJsonTheSameRecords) {
  const ProcessResult run = ports({"-v"});
  EXPECT_EQ(run.exit_code, kExitSuccess) << run.errors;
  const std::string left_out[] = {
      "ttyS0     driver serial, /sys/devices/pnp0/00:04/00:04:0/port.0; left out: the kernel's "
      "console",
      "ttyS3     driver serial8250, /sys/devices/platform/serial8250/serial8250:0/port.0; left "
      "out: a placeholder without hardware",
      "ttyUSB10  driver ftdi_sio, USB 0403:6015, USB path 1-4:1.0, latency timer 1 ms, "
      "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB10; left out: a name of 8 "
      "characters: a scan lists names of at most 7",
      "          note: there is no device node /dev/ttyUSB10",
      "pts/3     left out: a pseudo-terminal, as korvel-sim's: a scan never lists these"};
  for (const std::string &line : left_out) {
    EXPECT_NE(run.output.find("\n" + line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_EQ(run.output.find("tty0"), std::string::npos) << "a virtual terminal is no port";

  const ProcessResult json = ports({"-v", "--json"});
  EXPECT_EQ(json.exit_code, kExitSuccess) << json.errors;
  EXPECT_NE(
      json.output.find(
          R"j({"name": "ttyACM0", "scanned": true, "left_out": null, "device": )j"
          R"j("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "driver": "cdc_acm", )j"
          R"j("vid": 9025, "pid": 67, "manufacturer": "Arduino (www.arduino.cc)", )j"
          R"j("product": "Arduino Uno", "serial_number": "75735303", "usb_path": "1-3:1.0", )j"
          R"j("latency_timer_ms": null, "friendly_name": null, "hardware_id": null, )j"
          R"j("notes": []})j"),
      std::string::npos)
      << json.output;
  std::size_t records = 0;
  for (std::size_t at = 0; (at = json.output.find("\n  {\"name\"", at)) != std::string::npos;
       ++at) {
    ++records;
  }
  EXPECT_EQ(records, 7U) << json.output;
  EXPECT_EQ(ports({"--json"}).output.find("ttyS0"), std::string::npos) << "left out without -v";
}

TEST_F(KorvelPortsOnAFakeTree, APortTheUserMayNotOpenNamesTheGroupThatMay) {
  if (geteuid() != 0 || getgrnam(kDialout) == nullptr || access("/usr/sbin/runuser", X_OK) != 0) {
    GTEST_SKIP() << "needs root, runuser and a group dialout, to run korvel as nobody";
  }
  const ProcessResult run = run_process(
      {"/usr/sbin/runuser", "-u", "nobody", "--", KORVEL_CLI, "ports", "--root", root_.string()},
      kToolTimeout);
  EXPECT_EQ(run.exit_code, kExitSuccess) << run.errors;
  EXPECT_NE(run.output.find("note: you may not open /dev/ttyACM0 (mode 0660, group dialout): "
                            "members of group dialout may; on Debian, as root: adduser "
                            "YOUR_NAME dialout, then log in again\n"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(ports({}).output.find("you may not open"), std::string::npos) << "root may";
}

TEST(KorvelPorts, AnUnreadableTreeFailsWithTheReason) {
  const ProcessResult run = run_korvel({"ports", "--root", "/nonexistent/korvel-root"});
  EXPECT_EQ(run.exit_code, kExitNothingFound);
  EXPECT_NE(run.errors.find("korvel: cannot read /nonexistent/korvel-root"), std::string::npos)
      << run.errors;
}

} // namespace
} // namespace tool_test
