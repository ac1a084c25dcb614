// Listing serial ports from a sysfs tty class directory, over a fake tree.
#include "port/port_list_sysfs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvel::port::list_sysfs_ports;
using korvel::port::natural_less;
using korvel::port::PortNameList;

class SysfsTree : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("korvel-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "class_tty");
    fs::create_directories(root_ / "devices/hardware");
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
