// Command lines: both tools refuse bad ones with their usage text on standard
// error and exit status 2, without touching a port, and print their version.
#include "korvel_dll.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <utility>

namespace tool_test {
namespace {

using Args = std::vector<std::string>;

std::string repeated(const char *hex_byte, int count) {
  std::string hex;
  for (int i = 0; i < count; ++i) {
    hex += hex_byte;
  }
  return hex;
}

void expect_refused(const std::string &program, const Args &args) {
  Args argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult run = run_process(argv, kToolTimeout);
  EXPECT_EQ(run.exit_code, kExitUsage) << run.output << run.errors;
  EXPECT_NE(run.errors.find("usage: "), std::string::npos) << run.errors;
  EXPECT_EQ(run.output, "");
}

TEST(ToolArguments, KorvelRefusesBadCommandLines) {
  // Every byte 0x7D needs stuffing: two more than always fit leave no room
  // whatever the CRC.
  const std::string too_long_stuffed = repeated("7D", MDB_IF_MAX_COMMAND_ANY_BYTES + 2);
  const std::string too_long = repeated("41", MDB_IF_MAX_COMMAND_UNSTUFFED + 1);
  const Args cases[] = {{},
                        {"frobnicate"},
                        {"-x", "scan"},
                        {"scan", "COM1"},
                        {"version"},
                        {"reset"},
                        {"version", kMissingPort, "extra"},
                        {"exec"},
                        {"exec", kMissingPort},
                        {"exec", kMissingPort, "0A0"},
                        {"exec", kMissingPort, "2 00"},
                        {"exec", kMissingPort, "zz"},
                        {"exec", kMissingPort, "0x0A"},
                        {"exec", kMissingPort, too_long_stuffed},
                        {"exec", kMissingPort, too_long},
                        {"decode"},
                        {"decode", "02 00 3"}};
  for (const Args &args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_refused(KORVEL_CLI, args);
  }
}

TEST(ToolArguments, KorvelPassesTheLongestCommandsTheLibraryTakes) {
  // These get as far as the open, which fails on a port that is not there.
  for (const std::string &hex : {repeated("7D", MDB_IF_MAX_COMMAND_ANY_BYTES), std::string()}) {
    const ProcessResult run = run_korvel({"exec", kMissingPort, hex});
    EXPECT_EQ(run.exit_code, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR) << run.errors;
  }
  const ProcessResult help = run_korvel({"--help"});
  EXPECT_EQ(help.exit_code, kExitSuccess);
  EXPECT_NE(help.output.find("exit status"), std::string::npos);
}

TEST(ToolArguments, BothToolsPrintTheProjectVersion) {
  for (const auto &[program, name] :
       {std::pair{KORVEL_CLI, "korvel"}, std::pair{KORVEL_SIM_TOOL, "korvel-sim"}}) {
    const ProcessResult run = run_process({program, "--version"}, kToolTimeout);
    EXPECT_EQ(run.exit_code, kExitSuccess) << run.errors;
    EXPECT_EQ(run.output, std::string(name) + " " + KORVEL_PROJECT_VERSION + "\n");
  }
}

} // namespace
} // namespace tool_test
