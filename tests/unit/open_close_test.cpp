// MDB_IF_OpenInterface and MDB_IF_CloseInterface, and the handle check every
// transaction begins with, over the fake port.
#include "current_interface.h"
#include "fake_adapter.h"
#include "korvel_dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

namespace fake = korvel::port::fake;
using fake::FakePort;
using korvel::port::Role;

// A handle the library never handed out.
const MDB_IF_HANDLE kForeign = reinterpret_cast<MDB_IF_HANDLE>(std::intptr_t{0x4711});

// The three transactions, each called with a given handle against a reply
// buffer of its own.
struct Transaction {
  const char *name;
  std::function<std::int32_t(MDB_IF_HANDLE)> call;
};

const Transaction kTransactions[] = {
    {"ExecCommand",
     [](MDB_IF_HANDLE handle) {
       const std::uint8_t command[] = {0x44};
       std::uint8_t reply[8] = {};
       std::int32_t length = sizeof(reply);
       return MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length);
     }},
    {"LineReset", [](MDB_IF_HANDLE handle) { return MDB_IF_LineReset(handle); }},
    {"GetVersion",
     [](MDB_IF_HANDLE handle) {
       char text[16] = {};
       return MDB_IF_GetVersion(handle, text, sizeof(text));
     }},
};

class OpenCloseTest : public FakeLineTest {
protected:
  // A port whose adapter answers every request with status 0x00.
  FakePort &add_answering_port(const std::string &name) {
    FakePort &port = fake::add_port(name);
    port.responder = fake::answer_always(reply_after(reply_frame({0x00})));
    return port;
  }

  MDB_IF_HANDLE open(const char *name, std::int32_t expected = MDB_IF_OK) {
    MDB_IF_HANDLE handle = nullptr;
    EXPECT_EQ(MDB_IF_OpenInterface(name, &handle), expected) << name;
    return handle;
  }

  // Every export rejects the handle, and none of them touches a port.
  static void expect_rejected(MDB_IF_HANDLE handle, const FakePort &port) {
    const int writes = port.write_count;
    const int purges = port.purge_count;
    const std::uint32_t now = fake::now_ms();
    for (const Transaction &transaction : kTransactions) {
      EXPECT_EQ(transaction.call(handle), MDB_IF_BAD_HANDLE) << transaction.name;
    }
    EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_BAD_HANDLE);
    EXPECT_EQ(port.write_count, writes);
    EXPECT_EQ(port.purge_count, purges);
    EXPECT_EQ(fake::now_ms(), now);
  }

  static void expect_working(MDB_IF_HANDLE handle) {
    for (const Transaction &transaction : kTransactions) {
      EXPECT_EQ(transaction.call(handle), MDB_IF_OK) << transaction.name;
    }
  }
};

TEST_F(OpenCloseTest, OpenConfiguresTheNamedPortAsInterface) {
  FakePort &port = add_answering_port("COM7");
  const MDB_IF_HANDLE handle = open("COM7");
  EXPECT_NE(handle, nullptr);
  EXPECT_NE(handle, MDB_IF_INVALID_HANDLE);
  EXPECT_EQ(handle, port.handle);
  EXPECT_EQ(korvel::current_interface(), handle);
  EXPECT_TRUE(port.is_open);
  EXPECT_EQ(port.opened_paths, std::vector<std::string>{"\\\\.\\COM7"});
  EXPECT_EQ(port.configured_roles, std::vector<Role>{Role::Interface});
  EXPECT_EQ(port.purge_count + port.write_count, 0) << "an open sends nothing";
  expect_working(handle);
}

TEST_F(OpenCloseTest, CloseAcceptsOnlyTheCurrentHandleOnce) {
  // With nothing open, null must not pass for the empty current interface.
  EXPECT_EQ(MDB_IF_CloseInterface(nullptr), MDB_IF_BAD_HANDLE);
  for (const Transaction &transaction : kTransactions) {
    EXPECT_EQ(transaction.call(nullptr), MDB_IF_BAD_HANDLE) << transaction.name;
  }

  FakePort &port = add_answering_port("COM1");
  const MDB_IF_HANDLE handle = open("COM1");
  expect_rejected(nullptr, port);
  expect_rejected(kForeign, port);
  EXPECT_TRUE(port.is_open);

  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
  EXPECT_FALSE(port.is_open);
  EXPECT_EQ(port.close_count, 1);
  EXPECT_EQ(korvel::current_interface(), nullptr);

  expect_rejected(handle, port);
  EXPECT_EQ(port.close_count, 1);
}

TEST_F(OpenCloseTest, AFailedOpenLeavesTheInvalidHandleEverywhere) {
  const struct {
    const char *what;
    bool declared;
    bool can_open;
    korvel::port::SystemError error;
  } rows[] = {{"no such port", false, false, fake::kNoSuchPort},
              {"port refuses the open", true, false, fake::kPortBusy}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    FakePort *port = row.declared ? &fake::add_port("COM1") : nullptr;
    if (port != nullptr) {
      port->can_open = row.can_open;
    }
    MDB_IF_HANDLE handle = nullptr;
    EXPECT_EQ(MDB_IF_OpenInterface("COM1", &handle), MDB_IF_OPEN_OR_CRC_ERROR);
    EXPECT_EQ(handle, MDB_IF_INVALID_HANDLE);
    EXPECT_EQ(korvel::current_interface(), MDB_IF_INVALID_HANDLE);
    EXPECT_EQ(fake::last_system_error(), row.error);
    if (port != nullptr) {
      EXPECT_TRUE(port->configured_roles.empty());
    }

    // The invalid value passes the handle check and fails at the port.
    for (const Transaction &transaction : kTransactions) {
      EXPECT_EQ(transaction.call(handle), MDB_IF_LINK_ERROR) << transaction.name;
    }
    EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
    EXPECT_EQ(korvel::current_interface(), nullptr);
    EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_BAD_HANDLE);
  }
}

TEST_F(OpenCloseTest, ASecondOpenClosesAndSupersedesTheFirst) {
  FakePort &first = add_answering_port("COM1");
  FakePort &second = add_answering_port("COM2");
  const MDB_IF_HANDLE old_handle = open("COM1");
  const MDB_IF_HANDLE new_handle = open("COM2");

  EXPECT_FALSE(first.is_open);
  EXPECT_EQ(first.close_count, 1);
  EXPECT_TRUE(second.is_open);
  expect_rejected(old_handle, first);
  expect_working(new_handle);
  EXPECT_EQ(MDB_IF_CloseInterface(new_handle), MDB_IF_OK);
  EXPECT_FALSE(second.is_open);
}

TEST_F(OpenCloseTest, ReopeningTheSamePortGivesANewHandle) {
  FakePort &port = add_answering_port("COM1");
  const MDB_IF_HANDLE old_handle = open("COM1");
  const MDB_IF_HANDLE new_handle = open("COM1");

  EXPECT_NE(new_handle, old_handle);
  EXPECT_EQ(port.open_count, 2);
  EXPECT_EQ(port.close_count, 1);
  EXPECT_TRUE(port.is_open);
  expect_rejected(old_handle, port);
  expect_working(new_handle);
}

TEST_F(OpenCloseTest, ClosedAndSupersededHandlesNeverComeBack) {
  for (const bool superseded : {false, true}) {
    SCOPED_TRACE(superseded ? "superseded, then the new one closed" : "closed");
    SetUp();
    add_answering_port("COM1");
    add_answering_port("COM2");
    const MDB_IF_HANDLE old_handle = open("COM1");
    if (superseded) {
      open("COM2");
    }
    EXPECT_EQ(MDB_IF_CloseInterface(korvel::current_interface()), MDB_IF_OK);
    // The fake hands out handle values from the start again after a reset,
    // as a platform may hand a freed value straight back.
    fake::reset();
    FakePort &port = add_answering_port("COM1");
    const MDB_IF_HANDLE new_handle = open("COM1");

    EXPECT_NE(new_handle, old_handle);
    EXPECT_NE(new_handle, MDB_IF_INVALID_HANDLE);
    EXPECT_EQ(new_handle, port.handle);
    EXPECT_EQ(korvel::current_interface(), new_handle);
    expect_rejected(old_handle, port);
    expect_working(new_handle);
  }
}

// The library remembers 16 retired handles in a ring; many more opens than
// that must keep the most recent ones out while the ring wraps.
TEST_F(OpenCloseTest, TheSixteenMostRecentlyRetiredHandlesStayOutThroughManyOpens) {
  constexpr std::size_t kRemembered = 16;
  std::vector<MDB_IF_HANDLE> retired;
  for (int cycle = 0; cycle < 50; ++cycle) {
    SCOPED_TRACE(cycle);
    // The fake hands out values from the start again, as a platform reuses
    // freed ones.
    fake::reset();
    add_answering_port("COM1");
    add_answering_port("COM2");
    const MDB_IF_HANDLE handle = open("COM1");
    const std::size_t recent = std::min(retired.size(), kRemembered);
    EXPECT_EQ(
        std::count(retired.end() - static_cast<std::ptrdiff_t>(recent), retired.end(), handle), 0);
    retired.push_back(handle);
    // Retired by a close, or by a later open superseding it.
    if (cycle % 2 == 1) {
      retired.push_back(open("COM2"));
    }
    EXPECT_EQ(MDB_IF_CloseInterface(retired.back()), MDB_IF_OK);
  }
}

// Failed opens leave the invalid value as the current interface; closing it
// names no port, so it must not push real handles out of the ring.
TEST_F(OpenCloseTest, ClosingTheInvalidHandleRetiresNothing) {
  add_answering_port("COM1");
  const MDB_IF_HANDLE closed = open("COM1");
  EXPECT_EQ(MDB_IF_CloseInterface(closed), MDB_IF_OK);
  for (int i = 0; i < 2 * korvel::port::kMaxAvoidedHandles; ++i) {
    open("COM9", MDB_IF_OPEN_OR_CRC_ERROR);
    EXPECT_EQ(MDB_IF_CloseInterface(MDB_IF_INVALID_HANDLE), MDB_IF_OK);
  }
  // The fake hands the closed value out again.
  fake::reset();
  FakePort &port = add_answering_port("COM1");
  const MDB_IF_HANDLE reopened = open("COM1");
  EXPECT_NE(reopened, closed);
  expect_rejected(closed, port);
  expect_working(reopened);
}

// A child after fork inherits the parent's current interface, which stays
// the parent's: the child's calls with it are rejected, and neither they nor
// the child's own opens close, purge or write to the parent's port.
TEST_F(OpenCloseTest, AChildAfterForkLeavesTheParentsInterfaceAlone) {
  FakePort &parents = add_answering_port("COM1");
  add_answering_port("COM2");
  const MDB_IF_HANDLE inherited = open("COM1");
  fake::set_process(fake::kFirstProcess + 1);

  expect_rejected(inherited, parents);
  EXPECT_EQ(korvel::current_interface(), nullptr);
  open("COM1", MDB_IF_OPEN_OR_CRC_ERROR); // the parent holds it
  EXPECT_EQ(korvel::current_interface(), MDB_IF_INVALID_HANDLE);
  const MDB_IF_HANDLE own = open("COM2");
  EXPECT_NE(own, inherited);
  expect_working(own);
  expect_rejected(inherited, parents);
  EXPECT_TRUE(parents.is_open);
  EXPECT_EQ(parents.close_count, 0);
  EXPECT_EQ(parents.purge_count + parents.write_count, 0);
  EXPECT_EQ(parents.open_count, 1);
}

TEST_F(OpenCloseTest, AFailedOpenAfterASuccessfulOneClosesTheFirst) {
  FakePort &port = add_answering_port("COM1");
  const MDB_IF_HANDLE old_handle = open("COM1");
  const MDB_IF_HANDLE failed = open("COM9", MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(failed, MDB_IF_INVALID_HANDLE);
  EXPECT_EQ(fake::last_system_error(), fake::kNoSuchPort) << "the close of COM1 came after";
  EXPECT_FALSE(port.is_open);
  expect_rejected(old_handle, port);
}

TEST_F(OpenCloseTest, RefusedNamesKeepTheCurrentInterface) {
  // The fake's interface prefix takes 4 of the 19 characters a path holds.
  const std::string longest(15, 'A');
  const std::string too_long(16, 'A');
  FakePort &fits = add_answering_port(longest);
  FakePort &overlong = add_answering_port(too_long);
  FakePort &current = add_answering_port("COM1");
  fake::add_port("NUL").is_terminal = false;

  const struct {
    const char *what;
    const char *name;
    bool with_handle_out;
    korvel::port::SystemError error;
  } rows[] = {
      {"name too long", too_long.c_str(), true, fake::kRefusedName},
      {"null name", nullptr, true, fake::kRefusedName},
      {"null handle out", "COM1", false, fake::kRefusedName},
      {"null handle out, name too long", too_long.c_str(), false, fake::kRefusedName},
      {"not a serial port", "NUL", true, fake::kNotAPort},
  };
  for (const bool interface_open : {false, true}) {
    const MDB_IF_HANDLE before = interface_open ? open("COM1") : nullptr;
    for (const auto &row : rows) {
      SCOPED_TRACE(testing::Message() << row.what << (interface_open ? ", interface open" : ""));
      MDB_IF_HANDLE handle = kForeign;
      EXPECT_EQ(MDB_IF_OpenInterface(row.name, row.with_handle_out ? &handle : nullptr),
                MDB_IF_OPEN_OR_CRC_ERROR);
      if (row.with_handle_out) {
        EXPECT_EQ(handle, MDB_IF_INVALID_HANDLE);
      }
      EXPECT_EQ(korvel::current_interface(), before);
      EXPECT_EQ(fake::last_system_error(), row.error);
      EXPECT_TRUE(overlong.opened_paths.empty());
      EXPECT_EQ(current.open_count, interface_open ? 1 : 0);
      EXPECT_EQ(current.close_count, 0);
    }
    if (interface_open) {
      expect_working(before);
    }
  }

  const MDB_IF_HANDLE handle = open(longest.c_str());
  EXPECT_EQ(fits.opened_paths, std::vector<std::string>{"\\\\.\\" + longest});
  expect_working(handle);
}

} // namespace
