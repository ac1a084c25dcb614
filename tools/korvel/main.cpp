// korvel: the library's exports on the command line.
#include "command_line.h"
#include "frame_decode.h"
#include "port_commands.h"
#include "release_version.h"
#include "results.h"

#include <cstdio>

int main(int argc, char **argv) {
  using namespace korvel::cli;
  const ParsedCommandLine parsed = parse_command_line(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "korvel: %s\n\n", parsed.error.c_str());
    print_usage(stderr);
    return kExitUsage;
  }
  const Invocation &invocation = parsed.invocation;
  switch (invocation.command) {
  case Command::Help:
    print_usage(stdout);
    return kExitSuccess;
  case Command::ToolVersion:
    std::printf("korvel %s\n", korvel::tools::kReleaseVersion);
    return kExitSuccess;
  case Command::Scan:
    return run_scan(invocation);
  case Command::Version:
    return run_version(invocation);
  case Command::Reset:
    return run_reset(invocation);
  case Command::Exec:
    return run_exec(invocation);
  case Command::Decode:
    return run_decode(invocation);
  }
  return kExitUsage;
}
