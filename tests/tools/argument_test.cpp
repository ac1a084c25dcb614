// Command lines: both tools refuse bad ones on standard error with exit
// status 2, without touching a port, and print their version. korvel says
// in one line what is wrong and the valid form, then where the help is.
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

// One line saying what is wrong, then the pointer to --help: never the whole
// usage text.
void expect_korvel_refused(const Args &args, const std::string &says) {
  const ProcessResult run = run_korvel(args);
  EXPECT_EQ(run.exit_code, kExitUsage) << run.output << run.errors;
  EXPECT_EQ(run.output, "");
  const std::string last_line = "see korvel --help\n";
  ASSERT_GT(run.errors.size(), last_line.size()) << run.errors;
  const std::string first_line = run.errors.substr(0, run.errors.size() - last_line.size());
  EXPECT_EQ(run.errors.substr(first_line.size()), last_line) << run.errors;
  EXPECT_EQ(first_line.find('\n'), first_line.size() - 1) << "one line: " << run.errors;
  EXPECT_EQ(first_line.rfind("korvel: ", 0), 0U) << run.errors;
  EXPECT_NE(first_line.find(says), std::string::npos) << run.errors;
}

TEST(ToolArguments, KorvelRefusesBadCommandLines) {
  // Every byte 0x7D needs stuffing: two more than always fit leave no room
  // whatever the CRC.
  const std::string too_long_stuffed = repeated("7D", MDB_IF_MAX_COMMAND_ANY_BYTES + 2);
  const std::string too_long = repeated("41", MDB_IF_MAX_COMMAND_UNSTUFFED + 1);
  const std::pair<Args, std::string> cases[] = {
      {{}, "no command given: scan, ports, version PORT"},
      {{"frobnicate"}, "unknown command 'frobnicate': the commands are scan, ports"},
      {{"-x", "scan"}, "unknown option '-x': the options are -v"},
      {{"scan", "COM1"}, "scan takes no argument, not 'COM1'"},
      {{"ports", "x"}, "ports takes no argument"},
      {{"--json", "scan"}, "--json goes with ports only"},
      {{"ports", "--root"}, "--root needs a DIR"},
      {{"version"}, "version needs a PORT: a name such as COM5 on Windows, ttyUSB0 or pts/4"},
      {{"reset"}, "reset needs a PORT"},
      {{"version", kMissingPort, "extra"}, "version takes one PORT; 'extra' is one argument too"},
      {{"exec"}, "exec needs a PORT"},
      {{"exec", kMissingPort}, "exec needs HEX bytes after the PORT, such as 0A0B"},
      {{"exec", kMissingPort, "0A0"}, "not hex bytes: '0A0': give whole bytes in hex"},
      {{"exec", kMissingPort, "2 00"}, "not hex bytes: '2 00'"},
      {{"exec", kMissingPort, "zz"}, "not hex bytes"},
      {{"exec", kMissingPort, "0x0A"}, "not hex bytes"},
      {{"exec", kMissingPort, too_long_stuffed},
       "the command has 126 bytes: exec takes at most 124, or up to 250 when its frame needs no "
       "stuffing"},
      {{"exec", kMissingPort, too_long}, "the command has 251 bytes"},
      {{"decode"}, "decode needs HEX bytes, a frame as captured"},
      {{"decode", "02 00 3"}, "not hex bytes"}};
  for (const auto &[args, says] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_korvel_refused(args, says);
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
