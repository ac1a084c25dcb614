// What the library makes of the system around a port, each in a child with
// mounts of its own: a pseudo-terminal that a fake tty class names as the
// kernel's console, and a system without /proc.
#include "korvel_dll.h"
#include "plain_pty.h"
#include "port_list_fixed.h"
#include "private_mounts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unistd.h>

namespace {

constexpr int kSetupFailed = 100;
constexpr const char *kFakeConsole = "ttyFAKE";

// The open refuses the console as busy, also through a link, and a scan's
// probe passes it by; none of them opens it.
TEST(SystemConsole, IsRefusedUnopenedByTheOpenAndTheProbe) {
  const PlainPty console;
  ASSERT_FALSE(console.path().empty());
  char dir[] = "/dev/shm/kXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/c";
  ASSERT_EQ(symlink(console.path().c_str(), link.c_str()), 0);
  const std::string names[] = {console.name(), link.substr(sizeof("/dev/") - 1)};

  const int status = private_mounts::run([&] {
    if (!private_mounts::fake_console(kFakeConsole, console.number())) {
      return kSetupFailed;
    }
    int failures = 0;
    for (const std::string &name : names) {
      MDB_IF_HANDLE handle = nullptr;
      errno = 0;
      if (MDB_IF_OpenInterface(name.c_str(), &handle) != MDB_IF_OPEN_OR_CRC_ERROR ||
          errno != EBUSY) {
        ++failures;
      }
    }
    korvel::port::fixed_list::set_ports({console.name()});
    char found[MDB_IF_PORT_NAME_BUFFER] = "unchanged";
    if (MDB_IF_ScanInterface(found) != MDB_IF_OK || found[0] != '\0') {
      ++failures;
    }
    return failures;
  });
  unlink(link.c_str());
  rmdir(dir);
  if (status == private_mounts::kUnavailable) {
    GTEST_SKIP() << "needs mounts of its own (root)";
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(console.nothing_sent());
}

// Without /proc the device cannot be opened through the descriptor that was
// checked, so nothing is opened.
TEST(WithoutProc, NoPortIsOpened) {
  const PlainPty port;
  ASSERT_FALSE(port.path().empty());
  const std::string name = port.name();
  const int status = private_mounts::run([&] {
    if (!private_mounts::without_proc()) {
      return kSetupFailed;
    }
    MDB_IF_HANDLE handle = nullptr;
    errno = 0;
    const bool refused =
        MDB_IF_OpenInterface(name.c_str(), &handle) == MDB_IF_OPEN_OR_CRC_ERROR && errno == ENOSYS;
    return refused && handle == MDB_IF_INVALID_HANDLE ? 0 : 1;
  });
  if (status == private_mounts::kUnavailable) {
    GTEST_SKIP() << "needs mounts of its own (root)";
  }
  EXPECT_EQ(status, 0);
}

} // namespace
