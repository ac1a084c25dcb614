// korvel-sim's command line: a bad one is refused in one line that says what
// is wrong and what would be right, then where to read more, without
// touching a line.
#include "tool_process.h"

#include <gtest/gtest.h>

namespace tool_test {
namespace {

struct Refusal {
  std::vector<std::string> args;
  std::string says;
};

TEST(ToolArguments, KorvelSimRefusesBadCommandLinesInOneLine) {
  const Refusal cases[] = {
      {{"extra"}, "'extra' is not an option: korvel-sim takes options only"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--delay"}, "--delay needs a value: milliseconds from 0 to 60000"},
      {{"--delay", "soon"}, "--delay takes milliseconds from 0 to 60000, not 'soon'"},
      {{"--delay", "-5"}, "not '-5'"},
      {{"--noise", "0"}, "--noise takes a number of bytes from 1 to 1000, not '0'"},
      {{"--crc-errors", "1.5"}, "--crc-errors takes a probability from 0 to 1, not '1.5'"},
      {{"--crc-errors", "nan"}, "not 'nan'"},
      {{"--reply", "0A0B"}, "--reply takes CMD=REPLY, both in hex (0A0B=00112233), not '0A0B'"},
      {{"--reply", "0A=0"}, "not '0A=0'"},
      {{"--reply", "zz=00"}, "not 'zz=00'"},
      {{"--pieces", "0"}, "--pieces takes a piece size in bytes from 1 to 4294967295"},
      {{"--pause", "5"}, "--pause needs --pieces"},
      {{"--fault-rate", "0.5"}, "--fault-rate needs --faults"},
      {{"--faults", "seed"}, "--faults takes a seed from 0 to 4294967295, not 'seed'"},
      {{"--wine-com", "0"}, "--wine-com takes a COM port number from 1 to 256, not '0'"},
      {{"--wine-prefix", "/tmp"}, "--wine-prefix needs --wine-com"},
      {{"--exit-after", "0"}, "--exit-after takes a number of requests from 1 to 4294967295"},
      {{"--silent=yes"}, "--silent takes no value"},
      {{"--port-file"}, "--port-file needs a value: a file name"},
      {{"--record="}, "--record takes a file name for the transcript, not ''"},
      {{"--tap", "/dev/null", "--reply", "0A=00"},
       "--reply does not go with --tap, which passes the adapter's own answers on unchanged"},
      {{"--replay", "x", "--tap", "/dev/null"}, "--replay does not go with --tap"},
  };
  for (const Refusal &refusal : cases) {
    SCOPED_TRACE(testing::PrintToString(refusal.args));
    std::vector<std::string> argv{KORVEL_SIM_TOOL};
    argv.insert(argv.end(), refusal.args.begin(), refusal.args.end());
    const ProcessResult run = run_process(argv, kToolTimeout);
    EXPECT_EQ(run.exit_code, kExitUsage) << run.errors;
    EXPECT_EQ(run.output, "");
    const std::string first_line = run.errors.substr(0, run.errors.find('\n'));
    EXPECT_TRUE(first_line.starts_with("korvel-sim: ")) << run.errors;
    EXPECT_NE(first_line.find(refusal.says), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.substr(first_line.size()), "\nsee korvel-sim --help\n");
  }

  const ProcessResult help = run_process({KORVEL_SIM_TOOL, "--help"}, kToolTimeout);
  EXPECT_EQ(help.exit_code, kExitSuccess);
  for (const char *option : {"--exit-after", "--record", "--replay", "--tap"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
}

} // namespace
} // namespace tool_test
