// korvel-sim's transcripts: read strictly (refused whole, with the line and
// the reason), cut from the traffic one frame or fragment a line, and played
// back request by request in recorded order.
#include "hex_text.h"
#include "link/frame.h"
#include "sim_adapter.h"
#include "traffic_lines.h"
#include "transcript.h"
#include "transcript_replay.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvel::simtool {
namespace {

using sim::Bytes;
using sim::Direction;
using std::chrono::milliseconds;

Bytes hex(const char *text) { return *tools::parse_hex(text); }

ParsedTranscript parse(const std::string &text) {
  std::istringstream stream(text);
  return parse_transcript(stream);
}

const std::string kVersionLine =
    std::string(kTranscriptFormat) + " " + std::to_string(kTranscriptVersion) + "\n";

TEST(KorvelSimTranscript, ReadsLinesCommentsAndWhatWindowsEditorsAdd) {
  const ParsedTranscript parsed =
      parse("\xEF\xBB\xBF" + kVersionLine + "\r\n# a comment\r\n" +
            "  0 > 02 00 30 01 D9 28 03   # request 01\r\n" + "\n" + "26 < 02:00 0000 03\r\n" +
            "26\t<\t7d e2  # lower case, tabs\n");
  ASSERT_FALSE(parsed.error) << parsed.error->line << ": " << parsed.error->what;
  ASSERT_EQ(parsed.lines.size(), 3U);
  EXPECT_EQ(parsed.lines[0].at_ms, 0U);
  EXPECT_EQ(parsed.lines[0].direction, Direction::ToAdapter);
  EXPECT_EQ(parsed.lines[0].bytes, sim::encode_request({0x01}));
  EXPECT_EQ(parsed.lines[0].number, 4U);
  EXPECT_EQ(parsed.lines[1].direction, Direction::ToHost);
  EXPECT_EQ(parsed.lines[1].bytes, hex("02 00 00 00 03"));
  EXPECT_EQ(parsed.lines[2].bytes, hex("7D E2"));
  EXPECT_EQ(parsed.lines[2].number, 7U);
}

struct Malformed {
  std::string text;
  std::size_t line;
  std::string says;
};

TEST(KorvelSimTranscript, RefusesAMalformedTranscriptWholeWithTheLineAndTheReason) {
  const Malformed cases[] = {
      {"", 1, "empty"},
      {"0 > 02 03\n", 1, "not a korvel-sim transcript"},
      {"# comment first\n" + kVersionLine, 1, "the first line must be"},
      {"korvel-transcript 2\n", 1, "version '2'; korvel-sim reads version 1"},
      {"korvel-transcript\n", 1, "version ''"},
      {kVersionLine + "0 > 02 03\n1.5 < 02 03\n", 3, "whole milliseconds, not '1.5'"},
      {kVersionLine + "-1 < 02 03\n", 2, "whole milliseconds"},
      {kVersionLine + "0 = 02 03\n", 2, "not '='"},
      {kVersionLine + "0 >> 02 03\n", 2, "not '>>'"},
      {kVersionLine + "0 >\n", 2, "needs a time, a direction"},
      {kVersionLine + "0 > # only a comment\n", 2, "needs a time, a direction"},
      {kVersionLine + "0 > 02 0\n", 2, "'02 0' is not bytes in hex"},
      {kVersionLine + "0 > 0x02\n", 2, "is not bytes in hex"},
      {kVersionLine + "5 > 02\n\n# gap\n4 < 03\n", 5, "4 ms is earlier than the 5 ms of line 2"},
      {kVersionLine + "0 > " + std::string(kLongestTranscriptLine, '0') + "\n", 2, "longer than"},
  };
  for (const Malformed &bad : cases) {
    SCOPED_TRACE(bad.text.substr(0, 80));
    const ParsedTranscript parsed = parse(bad.text);
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->line, bad.line);
    EXPECT_NE(parsed.error->what.find(bad.says), std::string::npos) << parsed.error->what;
    EXPECT_TRUE(parsed.lines.empty()) << "nothing of a refused transcript is kept";
  }
}

TEST(KorvelSimTranscript, WritesWhatItReadsWithCommentsOnWholeFrames) {
  const std::vector<TranscriptLine> written = {
      {0, Direction::ToAdapter, sim::encode_request({0x0A, 0x0B}), 0},
      {7, Direction::ToHost, hex("55 AA"), 0},
      {31, Direction::ToHost, sim::encode_reply(sim::reply({0x00, 0x11})), 0},
      {40, Direction::ToHost, [] {
         sim::Answer spoilt = sim::reply({0x00});
         spoilt.corrupt_crc = true;
         return sim::encode_reply(spoilt);
       }()}};
  std::string text = transcript_header("a test");
  for (const TranscriptLine &line : written) {
    text += format_transcript_line(line) + "\n";
  }
  EXPECT_NE(text.find("  # request 0A 0B\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  # reply 00 11\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  # a reply with a bad CRC\n"), std::string::npos) << text;
  EXPECT_NE(text.find("55 AA\n"), std::string::npos) << "a fragment gets no comment: " << text;

  const ParsedTranscript parsed = parse(text);
  ASSERT_FALSE(parsed.error) << parsed.error->what;
  ASSERT_EQ(parsed.lines.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(parsed.lines[i].at_ms, written[i].at_ms);
    EXPECT_EQ(parsed.lines[i].direction, written[i].direction);
    EXPECT_EQ(parsed.lines[i].bytes, written[i].bytes);
  }
}

// Feeds traffic at given milliseconds after the start and collects the lines.
class Cutting {
public:
  explicit Cutting(TrafficLines::Pieces pieces)
      : lines_(start_, pieces, [this](const TranscriptLine &line) { cut_.push_back(line); }) {}

  void add(Direction direction, const Bytes &bytes, int at_ms) {
    lines_.add({direction, bytes.data(), bytes.size(), start_ + milliseconds(at_ms)});
  }
  std::vector<TranscriptLine> finish() {
    lines_.finish();
    return cut_;
  }

private:
  sim::Clock::time_point start_ = sim::Clock::now();
  std::vector<TranscriptLine> cut_;
  TrafficLines lines_;
};

struct Cut {
  std::uint32_t at_ms;
  Direction direction;
  Bytes bytes;
};

void expect_cut(const std::vector<TranscriptLine> &lines, const std::vector<Cut> &expected) {
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lines[i].at_ms, expected[i].at_ms);
    EXPECT_EQ(lines[i].direction, expected[i].direction);
    EXPECT_EQ(tools::format_hex(lines[i].bytes), tools::format_hex(expected[i].bytes));
  }
}

TEST(KorvelSimTranscript, CutsTrafficIntoFramesAndFragments) {
  const Bytes request = sim::encode_request({0x01});
  const Bytes reply = sim::encode_reply(sim::reply({0x00, 0x4B}));
  Cutting tap(TrafficLines::Pieces::ByPauses);
  // Two requests in one read; a request's time is its last byte's.
  Bytes both = request;
  both.insert(both.end(), request.begin(), request.end());
  tap.add(Direction::ToAdapter, Bytes(request.begin(), request.begin() + 3), 1);
  tap.add(Direction::ToAdapter, Bytes(request.begin() + 3, request.end()), 4);
  tap.add(Direction::ToAdapter, both, 5);
  // Noise, then the reply in two reads close together, then in two pieces
  // apart; a reply's time is its first byte's.
  Bytes noisy = hex("55 03 AA");
  noisy.insert(noisy.end(), reply.begin(), reply.begin() + 2);
  tap.add(Direction::ToHost, noisy, 10);
  tap.add(Direction::ToHost, Bytes(reply.begin() + 2, reply.end()), 11);
  tap.add(Direction::ToHost, Bytes(reply.begin(), reply.begin() + 4), 20);
  tap.add(Direction::ToHost, Bytes(reply.begin() + 4, reply.end()), 20 + kPieceGapMs);
  // A piece left open is ended by the request that follows it, and goes
  // before it.
  tap.add(Direction::ToHost, hex("02 00"), 30);
  tap.add(Direction::ToAdapter, request, 31);
  tap.add(Direction::ToAdapter, hex("02 00 30"), 40);
  expect_cut(tap.finish(), {{4, Direction::ToAdapter, request},
                            {5, Direction::ToAdapter, request},
                            {5, Direction::ToAdapter, request},
                            {10, Direction::ToHost, hex("55 03 AA")},
                            {10, Direction::ToHost, reply},
                            {20, Direction::ToHost, Bytes(reply.begin(), reply.begin() + 4)},
                            {22, Direction::ToHost, Bytes(reply.begin() + 4, reply.end())},
                            {30, Direction::ToHost, hex("02 00")},
                            {31, Direction::ToAdapter, request},
                            {40, Direction::ToAdapter, hex("02 00 30")}});
}

TEST(KorvelSimTranscript, CutsTheSimulatorsWritesAsWrittenAndPutsWhatABusyLineSentFirst) {
  const Bytes reply = sim::encode_reply(sim::reply({0x00}));
  Cutting simulator(TrafficLines::Pieces::AsWritten);
  simulator.add(Direction::ToHost, Bytes(reply.begin(), reply.begin() + 2), 3);
  simulator.add(Direction::ToHost, Bytes(reply.begin() + 2, reply.end()), 3);
  // What the adapter began to send before a request was whole goes before
  // the request.
  Cutting tap(TrafficLines::Pieces::ByPauses);
  const Bytes request = sim::encode_request({0x0A});
  tap.add(Direction::ToAdapter, Bytes(request.begin(), request.begin() + 2), 1);
  tap.add(Direction::ToHost, hex("02 00"), 2);
  tap.add(Direction::ToAdapter, Bytes(request.begin() + 2, request.end()), 9);
  expect_cut(simulator.finish(), {{3, Direction::ToHost, Bytes(reply.begin(), reply.begin() + 2)},
                                  {3, Direction::ToHost, Bytes(reply.begin() + 2, reply.end())}});
  expect_cut(tap.finish(),
             {{2, Direction::ToHost, hex("02 00")}, {9, Direction::ToAdapter, request}});
}

std::vector<TranscriptLine> lines_of(const std::string &text) {
  const ParsedTranscript parsed = parse(kVersionLine + text);
  EXPECT_FALSE(parsed.error) << parsed.error->what;
  return parsed.lines;
}

std::string frame_hex(const Bytes &frame) { return tools::format_hex(frame); }

TEST(KorvelSimTranscript, PlaysEachRequestsRecordedAnswersInOrderThenFallsBack) {
  const std::string request_0a = frame_hex(sim::encode_request({0x0A}));
  const std::string request_0b = frame_hex(sim::encode_request({0x0B}));
  const std::string first = frame_hex(sim::encode_reply(sim::reply({0x00, 0x01})));
  const std::string second = frame_hex(sim::encode_reply(sim::reply({0x00, 0x02})));
  Bytes bad_request = sim::encode_request({0x0C});
  bad_request[bad_request.size() - 2] ^= 0x01;
  const ReplayScript script =
      replay_script(lines_of("0 < 55\n" // before any request
                             "10 > " +
                             request_0a + "\n" +                         // silence
                             "600 > " + request_0a + "\n" +              // noise, then the reply
                             "640 < AA BB\n" + "641 < " + first + "\n" + //
                             "700 > " + frame_hex(bad_request) + "\n" +  // asks for nothing
                             "705 < " + second + "\n" +                  // still the second 0A's
                             "800 > " + request_0b + "\n" + "850 < " + first + "\n" //
                             ));
  EXPECT_EQ(script.unasked_lines, 1U);
  ASSERT_EQ(script.exchanges.size(), 3U);
  EXPECT_EQ(script.exchanges[1].line, 4U);

  std::vector<std::string> notices;
  std::size_t fallbacks = 0;
  TranscriptPlayer player(
      script,
      [&fallbacks](const Bytes &) {
        ++fallbacks;
        return sim::reply({0x00, 0x7F});
      },
      [&notices](const std::string &notice) { notices.push_back(notice); });
  TranscriptPlayer copy = player; // copies share what has been played

  const sim::Answer b = player({0x0B});
  EXPECT_FALSE(b.silent);
  ASSERT_EQ(b.played.size(), 1U);
  EXPECT_EQ(b.played[0].after_ms, 50U);
  EXPECT_EQ(b.origin, "transcript line 9");

  EXPECT_TRUE(copy({0x0A}).silent) << "the first 0A was answered with silence";
  const sim::Answer second_0a = player({0x0A});
  ASSERT_EQ(second_0a.played.size(), 3U);
  EXPECT_EQ(second_0a.played[0].after_ms, 40U);
  EXPECT_EQ(second_0a.played[0].bytes, hex("AA BB"));
  EXPECT_EQ(second_0a.played[1].after_ms, 41U);
  EXPECT_EQ(second_0a.played[2].after_ms, 105U);
  EXPECT_EQ(frame_hex(second_0a.played[2].bytes), second);

  EXPECT_EQ(player({0x0A}).payload, (Bytes{0x00, 0x7F}));
  EXPECT_EQ(player({0x0C}).payload, (Bytes{0x00, 0x7F}));
  EXPECT_EQ(fallbacks, 2U);
  ASSERT_EQ(notices.size(), 2U);
  EXPECT_EQ(notices[0], "no recorded answer for request 0A left (the transcript answers it 2 "
                        "times, all given)");
  EXPECT_EQ(notices[1], "no recorded answer for request 0C (not in the transcript)");
}

} // namespace
} // namespace korvel::simtool
