// Request frames on the wire: CRC, encoding, in-place stuffing and the send.
#include "link/crc16.h"
#include "link/frame.h"
#include "link/send.h"
#include "serial_port_fake.h"
#include "worked_frames.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using korvel::port::fake::Bytes;
namespace link = korvel::link;
namespace port = korvel::port;

class SendTest : public ::testing::Test {
protected:
  void SetUp() override {
    port::fake::reset();
    line_ = &port::fake::add_port("COM1");
    char path[port::kDevicePathSize];
    ASSERT_TRUE(port::make_device_path("COM1", port::Role::Interface, path));
    handle_ = port::open_port(path);
  }

  Bytes send(const Bytes &command) {
    const auto fitting = link::check_command(command.data(), static_cast<int>(command.size()));
    EXPECT_TRUE(fitting && link::send_request(handle_, *fitting));
    return line_->written;
  }

  port::fake::FakePort *line_ = nullptr;
  port::Handle handle_ = nullptr;
};

TEST(Crc16, MatchesTheCheckValue) {
  const char text[] = "123456789";
  EXPECT_EQ(link::crc16(reinterpret_cast<const std::uint8_t *>(text), 9), 0x29B1);
}

TEST_F(SendTest, WorkedFramesComeOutByteForByte) {
  for (const auto &worked : worked_frames::kWorkedRequests) {
    line_->written.clear();
    EXPECT_EQ(send(worked.command), worked.wire);
  }
}

TEST_F(SendTest, ShortWritesContinueUntilTheWholeFrameHasGone) {
  line_->max_write_chunk = 3;
  EXPECT_EQ(send({0x02, 0x03, 0x7D}),
            (Bytes{0x02, 0x00, 0x30, 0x7D, 0xE2, 0x7D, 0xE3, 0x7D, 0x5D, 0xA9, 0xEC, 0x03}));
  EXPECT_EQ(line_->write_count, 4);
}

TEST_F(SendTest, AFailedOrEmptyWriteEndsTheSend) {
  const std::uint8_t read_version = 0x01;
  const link::FittingCommand command{read_version};
  line_->max_write_chunk = 2;
  line_->write_returns_zero = [](int nth) { return nth == 2; };
  EXPECT_FALSE(link::send_request(handle_, command));
  EXPECT_EQ(line_->write_count, 2);

  line_->write_returns_zero = nullptr;
  line_->write_fails = [](int) { return true; };
  EXPECT_FALSE(link::send_request(handle_, command));
}

TEST_F(SendTest, CommandsThatCannotBeFramedAreRefusedBeforeAnythingIsWritten) {
  // 126 escaped bytes need 2 * 126 + 6 bytes whatever the CRC.
  const Bytes all_escaped(link::kMaxCommandAnyBytes + 2, link::kEscape);
  const Bytes too_long(link::kMaxCommandUnstuffed + 1, 0x41);
  EXPECT_FALSE(link::check_command(all_escaped.data(), link::kMaxCommandAnyBytes + 2));
  EXPECT_FALSE(link::check_command(too_long.data(), link::kMaxCommandUnstuffed + 1));
  EXPECT_FALSE(link::check_command(too_long.data(), -1));
  EXPECT_FALSE(link::check_command(nullptr, 1));
}

// 125 escaped bytes fill the buffer exactly, unless a CRC byte needs
// stuffing too.
TEST_F(SendTest, StuffedCrcBytesDecideWhetherABorderlineCommandFits) {
  std::mt19937 random(3);
  const std::uint8_t specials[] = {link::kStx, link::kEtx, link::kEscape};
  Bytes command(link::kMaxCommandAnyBytes + 1);
  int refused = 0;
  int accepted = 0;
  for (int round = 0; round < 2000; ++round) {
    for (auto &byte : command) {
      byte = specials[random() % 3];
    }
    std::uint8_t logical[link::kTransmitBufferSize];
    link::encode_frame(link::kRequestHeader1, link::kRequestHeader2, command.data(),
                       static_cast<int>(command.size()), logical);
    const std::size_t crc_at = command.size() + link::kPayloadOffset;
    const bool crc_stuffed =
        link::needs_escape(logical[crc_at]) || link::needs_escape(logical[crc_at + 1]);
    const bool fits = link::command_fits(command.data(), static_cast<int>(command.size()));
    ASSERT_EQ(fits, !crc_stuffed) << "round " << round;
    (fits ? accepted : refused) += 1;
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(SendTest, TheLargestCommandsThatFitFillTheBufferExactly) {
  const Bytes all_escaped(link::kMaxCommandAnyBytes, link::kEscape);
  const Bytes plain(link::kMaxCommandUnstuffed, 0x41);
  for (const Bytes &command : {all_escaped, plain}) {
    line_->written.clear();
    const Bytes wire = send(command);
    EXPECT_LE(wire.size(), link::kTransmitBufferSize);
    EXPECT_GE(wire.size(), link::kTransmitBufferSize - 2); // CRC bytes may not need stuffing
  }
}

// Wherever the special bytes fall, the stuffed frame keeps STX and ETX as
// its only delimiters and unstuffs to the logical frame.
TEST_F(SendTest, StuffingInPlaceMatchesAStraightforwardStuffer) {
  std::mt19937 random(7);
  const std::uint8_t alphabet[] = {0x02, 0x03, 0x7D, 0x00, 0x41, 0xE2, 0x5D};
  for (int round = 0; round < 500; ++round) {
    Bytes command(random() % (link::kMaxCommandAnyBytes + 1));
    for (auto &byte : command) {
      byte = alphabet[random() % sizeof(alphabet)];
    }
    std::uint8_t logical[link::kTransmitBufferSize];
    const int length =
        link::encode_frame(link::kRequestHeader1, link::kRequestHeader2, command.data(),
                           static_cast<int>(command.size()), logical);
    Bytes expected{link::kStx};
    for (int i = 1; i < length - 1; ++i) {
      if (link::needs_escape(logical[i])) {
        expected.push_back(link::kEscape);
        expected.push_back(link::escape_code(logical[i]));
      } else {
        expected.push_back(logical[i]);
      }
    }
    expected.push_back(link::kEtx);
    line_->written.clear();
    ASSERT_EQ(send(command), expected) << "round " << round;
  }
}

} // namespace
