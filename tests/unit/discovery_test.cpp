// MDB_IF_ScanInterface over a port list the test sets and the fake port.
#include "current_interface.h"
#include "exchange.h"
#include "fake_adapter.h"
#include "korvel_dll.h"
#include "link/receiver.h"
#include "port_list_fixed.h"
#include "worked_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

namespace fake = korvel::port::fake;
namespace fixed_list = korvel::port::fixed_list;
using fake::Bytes;
using fake::FakePort;
using korvel::port::Role;

constexpr std::uint32_t kSilentProbeMs = korvel::kSilentExchangeMs;
constexpr char kPattern = '\x5A';
using worked_frames::kReadVersionWire;

Bytes text(const std::string &characters) { return Bytes(characters.begin(), characters.end()); }

const Bytes kIdentification = text("MDB_IF 2.1");

// The host's buffer, with room past the 20 bytes the scan may write.
using NameBuffer = std::array<char, MDB_IF_PORT_NAME_BUFFER + 8>;

class DiscoveryTest : public FakeLineTest {
protected:
  void SetUp() override {
    FakeLineTest::SetUp();
    name_.fill(kPattern);
  }

  static FakePort &add_answering_port(const std::string &name, const Bytes &payload) {
    FakePort &port = fake::add_port(name);
    port.responder = fake::answer_always(reply_after(reply_frame(payload)));
    return port;
  }

  std::int32_t scan() { return MDB_IF_ScanInterface(name_.data()); }

  // The name up to its terminator, which must lie within the 20 bytes.
  std::string found() const {
    return std::string(name_.data(), strnlen(name_.data(), MDB_IF_PORT_NAME_BUFFER));
  }

  bool tail_untouched() const {
    return std::all_of(name_.begin() + MDB_IF_PORT_NAME_BUFFER, name_.end(),
                       [](char c) { return c == kPattern; });
  }

  NameBuffer name_{};
};

TEST_F(DiscoveryTest, FindsTheFirstIdentifyingPortAndStopsThere) {
  FakePort &silent = fake::add_port("COM1");
  FakePort &adapter = add_answering_port("COM2", kIdentification);
  FakePort &later = add_answering_port("COM3", kIdentification);
  fixed_list::set_ports({"COM1", "COM2", "COM3"});
  // What the host's buffer holds when the second port is asked.
  std::string while_probing_second;
  adapter.responder = [this, &while_probing_second](const Bytes &) {
    while_probing_second = found();
    return reply_after(reply_frame(kIdentification));
  };

  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(found(), "COM2");
  EXPECT_TRUE(tail_untouched());
  EXPECT_EQ(while_probing_second, "") << "a failed probe leaves the empty string";
  EXPECT_TRUE(later.opened_paths.empty());
  EXPECT_EQ(silent.close_count, 1);
  EXPECT_EQ(adapter.close_count, 1);
  EXPECT_FALSE(silent.is_open || adapter.is_open);
  EXPECT_EQ(fake::now_ms(), kSilentProbeMs + korvel::kSettleDelayMs);
}

TEST_F(DiscoveryTest, NoAnsweringPortLeavesTheEmptyString) {
  fake::add_port("COM1");
  add_answering_port("COM2", {0x00, 'V', '1'});
  fixed_list::set_ports({"COM1", "COM2"});
  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(found(), "");
  EXPECT_TRUE(tail_untouched());
}

TEST_F(DiscoveryTest, AnEmptyListLeavesTheBufferAsPassed) {
  add_answering_port("COM1", kIdentification);
  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_TRUE(std::all_of(name_.begin(), name_.end(), [](char c) { return c == kPattern; }));
}

// Whatever the answer, the probe puts the port's settings back.
TEST_F(DiscoveryTest, OnlyAReplyStartingWithTheIdentificationAndLongerThanItIsFound) {
  std::string long_identification = "MDB_IF";
  long_identification.append(60, '*');
  const struct {
    const char *what;
    Bytes wire;
    bool found;
  } rows[] = {
      {"identification and one more byte", reply_frame(text("MDB_IF1")), true},
      {"identification and a zero byte", reply_frame(text(std::string("MDB_IF\0", 7))), true},
      {"longer than the probe reads", reply_frame(text(long_identification)), true},
      {"identification alone", reply_frame(text("MDB_IF")), false},
      {"status byte in front", reply_frame(text(std::string("\0MDB_IF 2.1", 11))), false},
      {"zero byte among the first six", reply_frame(text(std::string("MDB\0IF1", 7))), false},
      {"other case", reply_frame(text("mdb_if1")), false},
      {"bad CRC", corrupt_reply_frame(kIdentification), false},
      {"header byte 2 not 0x00", reply_frame(kIdentification, 0x01), false},
      {"silent", {}, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    FakePort &port = fake::add_port("COM4");
    port.responder = fake::answer_always(reply_after(row.wire));
    fixed_list::set_ports({"COM4"});
    EXPECT_EQ(scan(), MDB_IF_OK);
    EXPECT_EQ(found(), row.found ? "COM4" : "");
    EXPECT_FALSE(port.is_open);
    EXPECT_EQ(port.closed_with_changed_settings, 0) << "the probe left its settings on the port";
  }
}

TEST_F(DiscoveryTest, AProbeOpensConfiguresAndAsksOnce) {
  FakePort &port = add_answering_port("COM5", kIdentification);
  fixed_list::set_ports({"COM5"});
  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(port.opened_paths, std::vector<std::string>{"\\\\?\\COM5"});
  EXPECT_EQ(port.configured_roles, std::vector<Role>{Role::Probe});
  EXPECT_EQ(port.purge_count, 1);
  EXPECT_EQ(port.requests, std::vector<Bytes>{kReadVersionWire});
  EXPECT_EQ(port.close_count, 1);
  EXPECT_EQ(port.closed_with_changed_settings, 0) << "the probe left its settings on the port";
}

TEST_F(DiscoveryTest, EachSilentPortCostsOneTimeoutAndTheSettleDelay) {
  for (const char *name : {"COM1", "COM2", "COM3"}) {
    fake::add_port(name);
  }
  fixed_list::set_ports({"COM1", "COM2", "COM3"});
  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(fake::now_ms(), 3 * kSilentProbeMs);
}

TEST_F(DiscoveryTest, PortsThatCannotBeOpenedOrPurgedAreSkippedAtNoCost) {
  FakePort &unpurgeable = add_answering_port("COM1", kIdentification);
  unpurgeable.purge_fails = [](int) { return true; };
  FakePort &locked = add_answering_port("COM2", kIdentification);
  locked.can_open = false;
  FakePort &adapter = add_answering_port("COM4", kIdentification);
  // COM3 is listed but does not exist.
  fixed_list::set_ports({"COM1", "COM2", "COM3", "COM4"});

  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(found(), "COM4");
  EXPECT_TRUE(unpurgeable.written.empty());
  EXPECT_EQ(unpurgeable.close_count, 1);
  EXPECT_FALSE(unpurgeable.is_open);
  EXPECT_EQ(locked.opened_paths.size(), 1U);
  EXPECT_TRUE(locked.written.empty());
  EXPECT_EQ(adapter.requests.size(), 1U);
  EXPECT_EQ(fake::now_ms(), korvel::kSettleDelayMs) << "only the answering port costs time";
}

TEST_F(DiscoveryTest, AWriteThatFailsCountsAsNotFound) {
  FakePort &port = add_answering_port("COM1", kIdentification);
  port.write_fails = [](int) { return true; };
  fixed_list::set_ports({"COM1"});
  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(found(), "");
  EXPECT_EQ(port.close_count, 1);
}

TEST_F(DiscoveryTest, ThePortHeldAsInterfaceIsNotFoundAndStaysTheInterface) {
  FakePort &held = add_answering_port("COM1", kIdentification);
  MDB_IF_HANDLE handle = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface("COM1", &handle), MDB_IF_OK);
  fixed_list::set_ports({"COM1"});

  EXPECT_EQ(scan(), MDB_IF_OK);
  EXPECT_EQ(found(), "");
  EXPECT_EQ(korvel::current_interface(), handle);
  EXPECT_TRUE(held.is_open);
  EXPECT_EQ(held.close_count, 0);
  EXPECT_EQ(held.open_count, 1);
  EXPECT_TRUE(held.written.empty());
  // The interface still works after the scan.
  std::uint8_t reply[16];
  std::int32_t length = sizeof(reply);
  const std::uint8_t command[] = {0x01};
  EXPECT_EQ(MDB_IF_ExecCommand(handle, command, 1, reply, &length), MDB_IF_OK);
  EXPECT_EQ(Bytes(reply, reply + length), kIdentification);
}

TEST_F(DiscoveryTest, TheCurrentInterfaceIsLeftAlone) {
  add_answering_port("COM1", {0x00});
  add_answering_port("COM2", kIdentification);
  fixed_list::set_ports({"COM2"});
  const struct {
    const char *what;
    const char *open;
  } rows[] = {{"nothing open", nullptr}, {"failed open", "COM9"}, {"COM1 open", "COM1"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    MDB_IF_HANDLE handle = nullptr;
    if (row.open != nullptr) {
      MDB_IF_OpenInterface(row.open, &handle);
    }
    const MDB_IF_HANDLE before = korvel::current_interface();
    EXPECT_EQ(scan(), MDB_IF_OK);
    EXPECT_EQ(found(), "COM2");
    EXPECT_EQ(korvel::current_interface(), before);
  }
  EXPECT_EQ(MDB_IF_LineReset(korvel::current_interface()), MDB_IF_OK);
}

TEST_F(DiscoveryTest, AListThatCannotBeReadGivesOpenError) {
  fake::add_port("COM1");
  add_answering_port("COM2", kIdentification);
  fixed_list::set_ports({"COM1", "COM2"});
  fixed_list::fail_after(0);
  EXPECT_EQ(scan(), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(name_[0], kPattern);

  // Failing after the first, silent port: its verdict is already written.
  fixed_list::fail_after(1);
  EXPECT_EQ(scan(), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(found(), "");
}

TEST_F(DiscoveryTest, ANullBufferOpensNothing) {
  FakePort &port = add_answering_port("COM1", kIdentification);
  fixed_list::set_ports({"COM1"});
  EXPECT_EQ(MDB_IF_ScanInterface(nullptr), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_TRUE(port.opened_paths.empty());
}

} // namespace
