// korvel: the library's exports on the command line.
#include "command_line.h"
#include "frame_decode.h"
#include "interrupt.h"
#include "port_commands.h"
#include "ports_command.h"
#include "release_version.h"
#include "results.h"
#include "scan_command.h"

#include <cstdio>

namespace {

using namespace korvel::cli;

// The commands that call the library, and so hold a port or probe one.
int run_library_command(const Invocation &invocation) {
  start_interrupt_handling();
  switch (invocation.command) {
  case Command::Scan:
    return finish(run_scan(invocation, list_system_ports("")));
  case Command::Version:
    return finish(run_version(invocation));
  case Command::Reset:
    return finish(run_reset(invocation));
  default:
    return finish(run_exec(invocation));
  }
}

} // namespace

int main(int argc, char **argv) {
  const ParsedCommandLine parsed = parse_command_line(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "korvel: %s\nsee korvel --help\n", parsed.error.c_str());
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
  case Command::Ports:
    return run_ports(invocation);
  case Command::Decode:
    return run_decode(invocation);
  case Command::Scan:
  case Command::Version:
  case Command::Reset:
  case Command::Exec:
    return run_library_command(invocation);
  }
  return kExitUsage;
}
