// GetVersion, LineReset and ExecCommand through each real driver. QEMU's log
// of the port holds the request frames exactly as the guest sent them,
// korvel-sim on the host decodes the same frames, and the results are those
// the pseudo-terminal tests get.
#include "exchange.h"
#include "hex_text.h"
#include "sim_adapter.h"
#include "test_machine.h"
#include "tool_process.h"
#include "worked_frames.h"

#include "korvel_dll.h"

namespace vm_host {
namespace {

// korvel-sim answers the command 4E with this payload, every other command
// but read-version with the single status byte 00.
constexpr const char *kLongReplyRule = "4E=00112233";
const Bytes kLongReply = {0x00, 0x11, 0x22, 0x33};
const Bytes kStatusOkReply = {0x00};

constexpr int kVersionCapacity = 64;
constexpr int kReplyCapacity = 16;
constexpr std::chrono::seconds kWireTimeout{5};

struct ExecCase {
  const char *command_hex;
  const worked_frames::WorkedRequest &request;
  const Bytes &reply;
};

using Transactions = VmPortTest;

TEST_P(Transactions, TheWorkedFramesCrossTheDriverByteForByte) {
  serve(port().line, {"--reply", kLongReplyRule});
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  const std::size_t mark = far_end().guest_output_mark();

  const AgentReply version = must("version " + std::to_string(kVersionCapacity));
  EXPECT_EQ(version.number("r"), MDB_IF_OK);
  EXPECT_EQ(version.hex_text("text"), korvel::sim::kDefaultVersionText);
  const AgentReply reset = must("reset");
  EXPECT_EQ(reset.number("r"), MDB_IF_OK);
  report(std::string(port().name) + " version", version.ms());
  report(std::string(port().name) + " reset", reset.ms());

  // The worked requests after read-version and line reset: no command, one
  // with every byte stuffed, one whose CRC is stuffed.
  const auto &worked = worked_frames::kWorkedRequests;
  const ExecCase execs[] = {{"-", worked[2], kStatusOkReply},
                            {"02037D", worked[3], kStatusOkReply},
                            {"4E", worked[4], kLongReply}};
  Bytes sent = worked_frames::kReadVersionWire;
  sent.insert(sent.end(), worked_frames::kLineResetWire.begin(),
              worked_frames::kLineResetWire.end());
  std::vector<Bytes> decoded = {worked_frames::kReadVersionWire, worked_frames::kLineResetWire};
  for (const ExecCase &exec : execs) {
    SCOPED_TRACE(exec.command_hex);
    const AgentReply answer =
        must(std::string("exec ") + exec.command_hex + " " + std::to_string(kReplyCapacity));
    EXPECT_EQ(answer.number("r"), MDB_IF_OK);
    EXPECT_EQ(answer.bytes("reply"), exec.reply);
    EXPECT_EQ(answer.number("length"), static_cast<long long>(exec.reply.size()));
    report(std::string(port().name) + " exec " + exec.command_hex, answer.ms());
    sent.insert(sent.end(), exec.request.wire.begin(), exec.request.wire.end());
    decoded.push_back(exec.request.wire);
  }
  EXPECT_EQ(must("close").number("r"), MDB_IF_OK);

  EXPECT_TRUE(far_end().wait_for_guest_output(mark, sent.size(), kWireTimeout));
  EXPECT_EQ(far_end().guest_output_since(mark), sent);
  EXPECT_EQ(far_end().simulator_requests(), decoded);
}

// Bytes that a line left with software flow control, CR/LF translation,
// stripping of the eighth bit or parity checking would stop, change or drop.
Bytes awkward_command() {
  Bytes command;
  for (int value = 0x00; value < 0x20; ++value) {
    command.push_back(static_cast<std::uint8_t>(value));
  }
  for (const std::uint8_t value : {0x7D, 0x7F, 0x80, 0x8D, 0x91, 0x93, 0xFC, 0xFD, 0xFE, 0xFF}) {
    command.push_back(value);
  }
  return command;
}

TEST_P(Transactions, EveryByteValueCrossesBothWaysOnAPortLeftForText) {
  Bytes every_byte;
  for (int value = 0; value <= 0xFF; ++value) {
    every_byte.push_back(static_cast<std::uint8_t>(value));
  }
  const Bytes command = awkward_command();
  const std::string command_hex = korvel::tools::format_hex(command);
  std::string compact_hex;
  for (const char c : command_hex) {
    compact_hex += c == ' ' ? "" : std::string(1, c);
  }
  must("spoil " + std::string(port().name));
  serve(port().line, {"--reply", command_hex + "=" + korvel::tools::format_hex(every_byte)});
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);

  const AgentReply exec = must("exec " + compact_hex + " " + std::to_string(every_byte.size()));
  EXPECT_EQ(exec.number("r"), MDB_IF_OK);
  EXPECT_EQ(exec.bytes("reply"), every_byte);
  EXPECT_EQ(far_end().simulator_commands(), std::vector<Bytes>{command});
  EXPECT_EQ(must("close").number("r"), MDB_IF_OK);
}

// The adapter's faults reach the library through the driver as they do
// through a pseudo-terminal, with the same results and durations.
struct FaultCase {
  const char *name;
  std::vector<std::string> options;
  std::int32_t result;
  double at_least_ms;
  double under_ms;
};

TEST_P(Transactions, AnAdaptersFaultsGiveThePseudoTerminalResultsInTime) {
  constexpr double kSilentCommandMs =
      korvel::kCommandAttempts * (korvel::kSilentExchangeMs + korvel::kRetryDelayMs);
  constexpr double kPromptMs = 300;
  constexpr double kSlackMs = 400;
  const FaultCase cases[] = {
      {"noise before each reply", {"--noise", "40"}, MDB_IF_OK, 0, kPromptMs},
      {"replies in pieces of 3 bytes, 30 ms apart",
       {"--pieces", "3", "--pause", "30"},
       MDB_IF_OK,
       60,
       kPromptMs},
      {"every reply with a bad CRC", {"--crc-errors", "1"}, MDB_IF_OPEN_OR_CRC_ERROR, 0, kPromptMs},
      {"a silent adapter",
       {"--silent"},
       MDB_IF_TIMEOUT,
       korvel::kCommandAttempts * 500.0,
       kSilentCommandMs + kSlackMs},
  };
  ASSERT_EQ(must("open " + std::string(port().name)).number("r"), MDB_IF_OK);
  for (const FaultCase &fault : cases) {
    SCOPED_TRACE(fault.name);
    serve(port().line, fault.options);
    const AgentReply exec = must("exec 0A " + std::to_string(kReplyCapacity));
    EXPECT_EQ(exec.number("r"), fault.result);
    EXPECT_GE(exec.ms(), fault.at_least_ms);
    EXPECT_LT(exec.ms(), fault.under_ms);
    report(std::string(port().name) + " exec, " + fault.name, exec.ms());
  }
  EXPECT_EQ(must("close").number("r"), MDB_IF_OK);
}

TEST_P(Transactions, TheKorvelToolReadsTheVersionInsideTheGuest) {
  serve(port().line);
  const AgentReply run = must(std::string("run 0 ") + kGuestKorvel + " version " + port().name);
  EXPECT_EQ(run.number("status"), tool_test::kExitSuccess) << run.hex_text("output");
  EXPECT_NE(run.hex_text("output").find(korvel::sim::kDefaultVersionText), std::string::npos)
      << run.hex_text("output");
}

INSTANTIATE_TEST_SUITE_P(Drivers, Transactions, testing::Values(kUartTestPort, kUsbTestPort),
                         port_label);

} // namespace
} // namespace vm_host
