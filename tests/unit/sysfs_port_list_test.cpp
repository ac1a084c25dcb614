// Listing serial ports from a sysfs tty class directory, and deciding which
// device nodes are serial ports, over a fake tree.
#include "port/port_list_sysfs.h"
#include "port/serial_device_sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvel::port::DeviceKind;
using korvel::port::list_sysfs_ports;
using korvel::port::natural_less;
using korvel::port::PortNameList;

// A device number as the kernel writes it into the status line.
unsigned long status_line_number(dev_t number) {
  return (minor(number) & 0xFFU) | (major(number) << 8) | ((minor(number) & ~0xFFU) << 12);
}

class SysfsTree : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("korvel-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "class_tty");
    fs::create_directories(root_ / "devices/hardware");
    fs::create_directories(root_ / "dev_char");
    for (const char *subsystem : {"tty", "misc"}) {
      fs::create_directories(root_ / "class" / subsystem);
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  // An entry, with a device link when hardware stands behind it and a serial
  // type when the serial core reports one.
  void add(const std::string &name, bool device, const char *type = nullptr) {
    const fs::path entry = root_ / "class_tty" / name;
    fs::create_directories(entry);
    if (device) {
      fs::create_directory_symlink(root_ / "devices/hardware", entry / "device");
    }
    if (type != nullptr) {
      std::ofstream(entry / "type") << type << "\n";
    }
  }

  // What the kernel writes its console to.
  void set_consoles(const char *names) {
    fs::create_directories(root_ / "class_tty/console");
    std::ofstream(root_ / "class_tty/console/active") << names << "\n";
  }

  // The sysfs entry of a character device: MAJOR:MINOR, with a device link
  // when hardware stands behind it, and the class it belongs to.
  void add_char_device(const std::string &path, bool device, const char *subsystem) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    add_char_number(info.st_rdev, device, subsystem);
  }

  void add_char_number(dev_t number, bool device, const char *subsystem) {
    const fs::path entry = root_ / "dev_char" / number_text(number);
    fs::create_directories(entry);
    if (device) {
      fs::create_directory_symlink(root_ / "devices/hardware", entry / "device");
    }
    fs::create_directory_symlink(root_ / "class" / subsystem, entry / "subsystem");
  }

  // A terminal of the tty class with its device number, as the console's
  // devices are looked up.
  void add_tty_number(const std::string &name, dev_t number) {
    fs::create_directories(root_ / "class_tty" / name);
    std::ofstream(root_ / "class_tty" / name / "dev") << number_text(number) << "\n";
  }

  static std::string number_text(dev_t number) {
    return std::to_string(major(number)) + ":" + std::to_string(minor(number));
  }

  // The process's status line, naming tty_nr as its controlling terminal. The
  // command name holds ") " to show where the name really ends.
  void set_controlling_terminal(unsigned long tty_nr) {
    std::ofstream(root_ / "stat") << "4711 (a) b) S 1 4711 4711 " << tty_nr << " -1 4194560 0\n";
  }

  DeviceKind classify(const struct stat &node) {
    const std::string dev_char = (root_ / "dev_char").string();
    const std::string stat = (root_ / "stat").string();
    const std::string class_tty = (root_ / "class_tty").string();
    return korvel::port::classify_device(node, {dev_char.c_str(), stat.c_str(), class_tty.c_str()});
  }

  // The node a path leads to, following links.
  DeviceKind classify(const std::string &path) {
    struct stat node {};
    EXPECT_EQ(stat(path.c_str(), &node), 0) << path;
    return classify(node);
  }

  DeviceKind classify_number(dev_t number) {
    struct stat node {};
    node.st_mode = S_IFCHR | 0600;
    node.st_rdev = number;
    return classify(node);
  }

  std::vector<std::string> listed() {
    PortNameList list{};
    EXPECT_TRUE(list_sysfs_ports((root_ / "class_tty").c_str(), list));
    return std::vector<std::string>(list.names, list.names + list.count);
  }

  fs::path root_;
};

TEST_F(SysfsTree, ListsPortsWithHardwareInNaturalOrder) {
  add("tty0", false);
  add("console", false);
  add("ttyS0", true, "0"); // placeholder without a UART
  add("ttyS10", true, "4");
  add("ttyS2", true, "4");
  add("ttyS1", true, "10");
  add("ttyUSB0", true);
  add("ttyACM0", true);
  add("ttyACM10", true); // does not fit the 8-byte name
  EXPECT_EQ(listed(), (std::vector<std::string>{"ttyACM0", "ttyS1", "ttyS2", "ttyS10", "ttyUSB0"}));
}

TEST_F(SysfsTree, TheKernelsConsoleIsNeverListed) {
  add("ttyS0", true, "4");
  add("ttyS1", true, "4");
  add("ttyUSB0", true);
  set_consoles("tty0 ttyS1");
  EXPECT_EQ(listed(), (std::vector<std::string>{"ttyS0", "ttyUSB0"}));
}

TEST_F(SysfsTree, TheWalkStopsWhereTheVisitorSaysSo) {
  for (const char *name : {"ttyS1", "ttyS2", "ttyS3"}) {
    add(name, true, "4");
  }
  std::vector<std::string> visited;
  const auto visit = [](const char *name, void *context) {
    auto *names = static_cast<std::vector<std::string> *>(context);
    names->push_back(name);
    return names->size() == 2;
  };
  EXPECT_TRUE(korvel::port::walk_sysfs_ports((root_ / "class_tty").c_str(), visit, &visited));
  EXPECT_EQ(visited, (std::vector<std::string>{"ttyS1", "ttyS2"}));
}

// Only pseudo-terminal slaves and terminals with hardware behind them are
// serial ports; nothing is opened to find out. The fake tree decides what
// the real device nodes below stand for.
TEST_F(SysfsTree, OnlyPseudoTerminalsAndHardwareTerminalsAreSerialPorts) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string pty = ptsname(master);
  struct stat pty_info {};
  ASSERT_EQ(stat(pty.c_str(), &pty_info), 0);
  const unsigned long pty_number = status_line_number(pty_info.st_rdev);

  add_char_device("/dev/null", true, "tty");  // as a UART would be
  add_char_device("/dev/zero", true, "misc"); // as a watchdog would be
  add_char_device("/dev/full", false, "tty"); // as the console or tty0 would be
  const fs::path fifo = root_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(root_ / "file") << "x";
  fs::create_symlink("/dev/null", root_ / "serial0");
  set_controlling_terminal(0);

  const struct {
    std::string path;
    DeviceKind kind;
  } rows[] = {
      {"/dev/null", DeviceKind::SerialPort},
      {(root_ / "serial0").string(), DeviceKind::SerialPort},
      {pty, DeviceKind::SerialPort},
      {"/dev/zero", DeviceKind::NotAPort},
      {"/dev/full", DeviceKind::NotAPort},
      {"/dev/random", DeviceKind::NotAPort}, // no entry in the tree
      {fifo.string(), DeviceKind::NotAPort},
      {(root_ / "file").string(), DeviceKind::NotAPort},
      {root_.string(), DeviceKind::NotAPort},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(classify(row.path), row.kind) << row.path;
  }

  set_controlling_terminal(pty_number);
  EXPECT_EQ(classify(pty), DeviceKind::NotAPort) << "the process's own terminal";
  close(master);
}

// Pseudo-terminal slaves are majors 136 to 143 and nothing next to them, and
// every minor counts in full: pts/257 is neither pts/1 nor its terminal.
TEST_F(SysfsTree, DeviceNumbersDecideWholly) {
  add_char_number(makedev(188, 257), true, "tty"); // ttyUSB257
  add_char_number(makedev(189, 1), true, "tty");   // nothing at 189:257
  set_controlling_terminal(status_line_number(makedev(136, 257)));
  const struct {
    dev_t number;
    DeviceKind kind;
  } rows[] = {
      {makedev(135, 0), DeviceKind::NotAPort},
      {makedev(136, 0), DeviceKind::SerialPort},
      {makedev(143, 7), DeviceKind::SerialPort},
      {makedev(144, 0), DeviceKind::NotAPort},
      {makedev(188, 257), DeviceKind::SerialPort},
      {makedev(188, 1), DeviceKind::NotAPort},
      {makedev(189, 257), DeviceKind::NotAPort},
      {makedev(189, 1), DeviceKind::SerialPort},
      // Only the process's own terminal is refused.
      {makedev(136, 257), DeviceKind::NotAPort},
      {makedev(136, 1), DeviceKind::SerialPort},
      {makedev(136, 256), DeviceKind::SerialPort},
      {makedev(137, 257), DeviceKind::SerialPort},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(classify_number(row.number), row.kind) << number_text(row.number);
  }
}

// The console is recognised by its device number, whatever leads to it: its
// own node, a link, or a node made elsewhere for the same device.
TEST_F(SysfsTree, TheKernelsConsoleIsAPortInUse) {
  add_char_device("/dev/null", true, "tty"); // stands for the console's UART
  add_char_number(makedev(4, 65), true, "tty");
  add_char_number(makedev(4, 74), true, "tty");
  struct stat null_node {};
  ASSERT_EQ(stat("/dev/null", &null_node), 0);
  add_tty_number("ttyS0", null_node.st_rdev);
  add_tty_number("ttyS1", makedev(4, 65));
  add_tty_number("ttyS10", makedev(4, 74));
  fs::create_symlink("/dev/null", root_ / "serial0");

  set_consoles("tty0 ttyS0");
  EXPECT_EQ(classify("/dev/null"), DeviceKind::SystemConsole);
  EXPECT_EQ(classify((root_ / "serial0").string()), DeviceKind::SystemConsole);
  EXPECT_EQ(classify_number(makedev(4, 65)), DeviceKind::SerialPort);

  set_consoles("ttyS10");
  EXPECT_EQ(classify_number(makedev(4, 74)), DeviceKind::SystemConsole);
  EXPECT_EQ(classify_number(makedev(4, 65)), DeviceKind::SerialPort) << "ttyS10 is not ttyS1";
  EXPECT_EQ(classify("/dev/null"), DeviceKind::SerialPort);
}

TEST_F(SysfsTree, TheConsoleSkipComparesWholeNames) {
  for (const char *name : {"ttyS1", "ttyS10", "ttyS100"}) {
    add(name, true, "4");
  }
  set_consoles("ttyS10");
  EXPECT_EQ(listed(), (std::vector<std::string>{"ttyS1", "ttyS100"}));
  set_consoles("ttyS1 ttyS100");
  EXPECT_EQ(listed(), (std::vector<std::string>{"ttyS10"}));
}

// Of more candidates than the list holds, the first in natural order are
// kept, whatever order the directory gives them in; nothing is written past
// the list.
TEST_F(SysfsTree, MoreThanSixtyFourPortsKeepTheFirstInOrder) {
  constexpr std::size_t kCandidates = korvel::port::kMaxListedPorts + 6;
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < kCandidates; ++i) {
    // Created in reverse, so that no directory order happens to be sorted.
    add("ttyS" + std::to_string(kCandidates - 1 - i), true, "4");
    if (i < korvel::port::kMaxListedPorts) {
      expected.push_back("ttyS" + std::to_string(i));
    }
  }
  struct {
    PortNameList list;
    unsigned char after[sizeof(PortNameList)];
  } guarded{};
  std::memset(guarded.after, 0xA5, sizeof(guarded.after));
  ASSERT_TRUE(list_sysfs_ports((root_ / "class_tty").c_str(), guarded.list));
  EXPECT_EQ(guarded.list.count, korvel::port::kMaxListedPorts);
  EXPECT_EQ(std::vector<std::string>(guarded.list.names, guarded.list.names + guarded.list.count),
            expected);
  EXPECT_TRUE(std::all_of(std::begin(guarded.after), std::end(guarded.after),
                          [](unsigned char byte) { return byte == 0xA5; }));
}

TEST_F(SysfsTree, AnUnreadableDirectoryFailsAndAnEmptyOneListsNothing) {
  PortNameList list{};
  EXPECT_FALSE(list_sysfs_ports((root_ / "missing").c_str(), list));
  EXPECT_TRUE(listed().empty());
}

TEST(NaturalOrder, ComparesDigitRunsAsNumbers) {
  EXPECT_TRUE(natural_less("ttyS2", "ttyS10"));
  EXPECT_FALSE(natural_less("ttyS10", "ttyS2"));
  EXPECT_TRUE(natural_less("ttyS10", "ttyUSB0"));
  EXPECT_TRUE(natural_less("ttyS", "ttyS0"));
  EXPECT_TRUE(natural_less("ttyS02", "ttyS3"));
  EXPECT_FALSE(natural_less("ttyS1", "ttyS1"));
}

} // namespace
