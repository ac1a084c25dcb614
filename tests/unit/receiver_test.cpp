// Waiting for a reply frame: byte rules, validation and timing, on the fake
// port's virtual clock.
#include "fake_adapter.h"
#include "link/frame.h"
#include "link/frame_assembler.h"
#include "link/receiver.h"
#include "serial_port_fake.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using korvel::port::fake::Bytes;
namespace link = korvel::link;
namespace port = korvel::port;

constexpr std::uint8_t kGuard = 0xEE;
constexpr int kCapacity = 64;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// A reply frame with a header byte 1 of its own.
Bytes reply_with_header1(const Bytes &payload, std::uint8_t header1) {
  std::uint8_t logical[link::kTransmitBufferSize * 2];
  int length = link::encode_frame(header1, link::kReplyHeader2, payload.data(),
                                  static_cast<int>(payload.size()), logical);
  length = link::stuff_in_place(logical, length);
  return Bytes(logical, logical + length);
}

class ReceiverTest : public ::testing::Test {
protected:
  void SetUp() override {
    port::fake::reset(1000);
    line_ = &port::fake::add_port("COM1");
    char path[port::kDevicePathSize];
    ASSERT_TRUE(port::make_device_path("COM1", port::Role::Interface, path));
    handle_ = port::open_port(path);
  }

  // Bytes arriving at a virtual time relative to the start of the test.
  void arrive(std::uint32_t at_ms, const Bytes &bytes) {
    port::fake::deliver_at(*line_, 1000 + at_ms, bytes);
  }

  link::LinkStatus receive(int capacity = kCapacity) {
    buffer_.assign(kCapacity + 2, kGuard);
    length_ = capacity;
    return link::receive_reply(handle_, buffer_.data() + 1, &length_);
  }

  Bytes delivered() const { return Bytes(buffer_.begin() + 1, buffer_.begin() + 1 + length_); }

  std::uint32_t elapsed() const { return port::fake::now_ms() - 1000; }

  port::fake::FakePort *line_ = nullptr;
  port::Handle handle_ = nullptr;
  Bytes buffer_;
  int length_ = 0;
};

TEST_F(ReceiverTest, DeliversThePayloadOfTheFirstValidFrame) {
  const Bytes payload = {0x00, 0x02, 0x03, 0x7D, 0x41};
  const struct {
    const char *what;
    Bytes wire;
  } cases[] = {
      {"plain", reply_frame(payload)},
      {"after noise", concat({{0x41, 0x7D, 0xE2, 0x00}, reply_frame(payload)})},
      {"after a short frame", concat({{0x02, 0x11, 0x00, 0x22, 0x03}, reply_frame(payload)})},
      {"after a bad header byte 2",
       concat({{0x02, 0x00, 0x01, 0x41, 0x42, 0x43, 0x03}, reply_frame(payload)})},
      {"after a stuffed header byte 2",
       concat({{0x02, 0x00, 0x7D, 0xE2, 0x41, 0x42, 0x03}, reply_frame(payload)})},
      {"restarted by an STX inside a frame",
       concat({{0x02, 0x00, 0x00, 0x41}, reply_frame(payload)})},
      {"restarted by an STX while an escape was pending",
       concat({{0x02, 0x00, 0x00, 0x41, link::kEscape}, reply_frame(payload)})},
      {"any header byte 1", reply_with_header1(payload, link::kEscape)},
  };
  for (const auto &c : cases) {
    SetUp();
    arrive(30, c.wire);
    EXPECT_EQ(receive(), link::LinkStatus::Ok) << c.what;
    EXPECT_EQ(delivered(), payload) << c.what;
    EXPECT_EQ(buffer_[0], kGuard);
    EXPECT_EQ(buffer_[1 + payload.size()], kGuard);
  }
}

TEST_F(ReceiverTest, UnknownEscapeCodesAreDroppedFromTheFrame) {
  // 7D 41 stores nothing; the CRC covers the frame without the 0x41.
  Bytes wire = reply_frame({0x10, 0x20});
  wire.insert(wire.begin() + 4, {link::kEscape, 0x41});
  arrive(0, wire);
  EXPECT_EQ(receive(), link::LinkStatus::Ok);
  EXPECT_EQ(delivered(), (Bytes{0x10, 0x20}));
}

TEST_F(ReceiverTest, ACrcErrorEndsTheReceiveEvenIfAValidFrameFollows) {
  Bytes bad = reply_frame({0x10, 0x20});
  bad[3] ^= 0x01;
  arrive(0, concat({bad, reply_frame({0x30})}));
  EXPECT_EQ(receive(), link::LinkStatus::CrcError);
  EXPECT_EQ(length_, kCapacity);
  EXPECT_EQ(buffer_, Bytes(kCapacity + 2, kGuard));
  EXPECT_EQ(port::queued_count(handle_), static_cast<int>(reply_frame({0x30}).size()));
}

TEST_F(ReceiverTest, DeliversAtMostTheCapacity) {
  const Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  arrive(0, reply_frame(payload));
  EXPECT_EQ(receive(2), link::LinkStatus::Ok);
  EXPECT_EQ(delivered(), (Bytes{1, 2}));
  EXPECT_EQ(buffer_[3], kGuard);

  arrive(0, reply_frame(payload));
  EXPECT_EQ(receive(0), link::LinkStatus::Ok);
  EXPECT_EQ(length_, 0);
  EXPECT_EQ(buffer_[1], kGuard);
}

TEST_F(ReceiverTest, AnEmptyPayloadIsAValidReply) {
  arrive(0, reply_frame({}));
  EXPECT_EQ(receive(), link::LinkStatus::Ok);
  EXPECT_EQ(length_, 0);
}

TEST_F(ReceiverTest, AFrameLongerThanTheAccumulatorIsACrcError) {
  // The largest frame that fits with its correct CRC, then more bytes before
  // the ETX: what was kept would pass the CRC check.
  Bytes crafted = reply_frame(Bytes(link::kAccumulatorSize - link::kFrameOverhead, 0x41));
  crafted.pop_back();
  crafted.insert(crafted.end(), {0x42, 0x43, 0x44, link::kEtx});
  for (const Bytes &wire : {reply_frame(Bytes(link::kAccumulatorSize, 0x41)), crafted}) {
    SetUp();
    arrive(0, wire);
    EXPECT_EQ(receive(), link::LinkStatus::CrcError);
    EXPECT_EQ(buffer_, Bytes(kCapacity + 2, kGuard));
  }
}

TEST_F(ReceiverTest, TheLargestPayloadThatFitsIsDelivered) {
  Bytes payload(link::kAccumulatorSize - link::kFrameOverhead);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<std::uint8_t>(i);
  }
  arrive(0, reply_frame(payload));
  buffer_.assign(payload.size(), kGuard);
  length_ = static_cast<int>(payload.size());
  EXPECT_EQ(link::receive_reply(handle_, buffer_.data(), &length_), link::LinkStatus::Ok);
  EXPECT_EQ(buffer_, payload);
}

TEST_F(ReceiverTest, SilenceTimesOutAtExactlyTheSilenceTimeout) {
  EXPECT_EQ(receive(), link::LinkStatus::Timeout);
  EXPECT_EQ(elapsed(), link::kSilenceTimeoutMs);
  EXPECT_EQ(length_, kCapacity);
}

TEST_F(ReceiverTest, TheTimeoutCountsFromTheLastByteRead) {
  arrive(300, {0x41});
  arrive(700, {0x02, 0x00});
  EXPECT_EQ(receive(), link::LinkStatus::Timeout);
  EXPECT_EQ(elapsed(), 700 + link::kSilenceTimeoutMs);
}

TEST_F(ReceiverTest, FramesSplitIntoPiecesWithPausesAreJoined) {
  const Bytes wire = reply_frame({0x00, 0x7D, 0x02, 0x55});
  for (std::size_t i = 0; i < wire.size(); ++i) {
    arrive(static_cast<std::uint32_t>(100 * i), {wire[i]});
  }
  EXPECT_EQ(receive(), link::LinkStatus::Ok);
  EXPECT_EQ(delivered(), (Bytes{0x00, 0x7D, 0x02, 0x55}));
}

TEST_F(ReceiverTest, AChatteringLineEndsAtTheOverallLimit) {
  for (std::uint32_t at = 0; at < 10 * link::kReceiveLimitMs; at += 50) {
    arrive(at, {0x02, 0x00, 0x00, 0x41}); // frames that never end
  }
  EXPECT_EQ(receive(), link::LinkStatus::Timeout);
  EXPECT_GE(elapsed(), link::kReceiveLimitMs);
  EXPECT_LT(elapsed(), link::kReceiveLimitMs + 50);
}

// One byte every 450 ms never lets the silence timeout end the receive; the
// overall limit still does, on time.
TEST_F(ReceiverTest, ASparselyChatteringLineEndsAtTheOverallLimit) {
  for (std::uint32_t at = 450; at < 3 * link::kReceiveLimitMs; at += 450) {
    arrive(at, {0x41});
  }
  EXPECT_EQ(receive(), link::LinkStatus::Timeout);
  EXPECT_EQ(elapsed(), link::kReceiveLimitMs);
}

TEST_F(ReceiverTest, ReadsThatFailWhileBytesAreQueuedStillEndTheReceive) {
  arrive(0, reply_frame({0x01}));
  line_->read_fails = [](int) { return true; };
  EXPECT_EQ(receive(), link::LinkStatus::Timeout);
  EXPECT_EQ(elapsed(), link::kSilenceTimeoutMs);
}

TEST_F(ReceiverTest, AFailedQueuedCountIsTreatedAsNothingQueued) {
  arrive(0, reply_frame({0x01}));
  line_->queued_fails = [](int nth) { return nth <= 3; };
  EXPECT_EQ(receive(), link::LinkStatus::Ok);
  EXPECT_EQ(elapsed(), 3 * link::kPollIntervalMs);
}

TEST_F(ReceiverTest, ReadsOnlyWhatThePortReportsQueued) {
  arrive(0, reply_frame({0x01, 0x02}));
  EXPECT_EQ(receive(), link::LinkStatus::Ok);
  EXPECT_EQ(line_->read_count, static_cast<int>(reply_frame({0x01, 0x02}).size()));
}

// Commands encoded as requests come back unchanged when the same frame is
// received as a reply.
TEST_F(ReceiverTest, RandomPayloadsSurviveTheRoundTrip) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    Bytes payload(random() % kCapacity);
    const std::uint8_t specials[] = {link::kStx, link::kEtx, link::kEscape};
    for (auto &byte : payload) {
      byte = random() % 4 == 0 ? specials[random() % 3] : static_cast<std::uint8_t>(random());
    }
    SetUp();
    arrive(random() % 400, reply_frame(payload));
    ASSERT_EQ(receive(), link::LinkStatus::Ok) << "round " << round;
    ASSERT_EQ(delivered(), payload) << "round " << round;
  }
}

} // namespace
