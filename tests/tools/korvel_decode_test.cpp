// korvel decode on frames captured on the line, in both directions.
#include "hex_text.h"
#include "sim_adapter.h"
#include "tool_process.h"

#include <gtest/gtest.h>

namespace tool_test {
namespace {

struct DecodeCase {
  std::string wire;
  int exit_code;
  std::vector<std::string> shown;
};

std::string reply_wire(korvel::sim::Bytes payload, bool corrupt_crc = false) {
  korvel::sim::Answer answer;
  answer.payload = std::move(payload);
  answer.corrupt_crc = corrupt_crc;
  return korvel::tools::format_hex(korvel::sim::encode_reply(answer));
}

TEST(KorvelDecode, ShowsHeaderPayloadAndCrcVerdictOfEachFrame) {
  const DecodeCase cases[] = {
      // Read version, and a command whose CRC low byte is stuffed.
      {"02 00 30 01 D9 28 03", kExitSuccess, {"(request)", "command (1 byte): 01", "D9 28 ok"}},
      {"02 00 30 4E 60 7D E3 03",
       kExitSuccess,
       {"frame 1: 02 00 30 4E 60 03 03", "command (1 byte): 4E", "60 03 ok"}},
      // Line reset, stuffed command byte; and the empty command.
      {"020030 7DE2 E94B 03", kExitSuccess, {"command (1 byte): 02", "E9 4B ok"}},
      {"02:00:30:2B:5C:03", kExitSuccess, {"command (0 bytes)\n", "2B 5C ok"}},
      // A reply whose payload needs stuffing, after noise on the line.
      {"FF 7D 03 " + reply_wire({0x00, 0x7D, 0x02, 0x03}),
       kExitSuccess,
       {"header:  00 00 (reply)", "payload (4 bytes): 00 7D 02 03", "ok"}},
      {"02 00 30 01 D9 29 03", kExitNothingFound, {"D9 29 bad, expected D9 28"}},
      {reply_wire({0x00}, true), kExitNothingFound, {"(reply)", "bad"}},
      // Two frames: one bad CRC spoils the verdict.
      {"02 00 30 01 D9 28 03 02 00 30 01 D9 29 03",
       kExitNothingFound,
       {"frame 1:", "D9 28 ok", "frame 2:", "D9 29 bad"}},
      {"02 12 34 01 00 00 03", kExitNothingFound, {"neither request nor reply"}},
      // Too short to be a frame, and no frame at all.
      {"02 00 30 01 03", kExitNothingFound, {"no complete frame"}},
      {"00 30 01 D9 28", kExitNothingFound, {"no complete frame"}},
  };
  for (const DecodeCase &frame : cases) {
    SCOPED_TRACE(frame.wire);
    const ProcessResult run = run_korvel({"decode", frame.wire});
    EXPECT_EQ(run.exit_code, frame.exit_code) << run.output << run.errors;
    for (const std::string &text : frame.shown) {
      EXPECT_NE(run.output.find(text), std::string::npos) << "missing: " << text << "\n"
                                                          << run.output;
    }
  }
}

} // namespace
} // namespace tool_test
