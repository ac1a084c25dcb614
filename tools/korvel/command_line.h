// What the user asked korvel to do, read from the command line.
#pragma once

#include "hex_text.h"

#include <cstdio>
#include <string>

namespace korvel::cli {

// ToolVersion is korvel's own release version; Version reads the adapter's.
enum class Command { Help, ToolVersion, Scan, Ports, Version, Reset, Exec, Decode };

struct Invocation {
  Command command = Command::Help;
  std::string port;
  // The command to send (exec) or the captured wire bytes (decode).
  tools::Bytes bytes;
  bool verbose = false;
  // ports: JSON instead of lines, and where sys/ and dev/ are looked for
  // ("" for the system's own).
  bool json = false;
  std::string root;
};

struct ParsedCommandLine {
  Invocation invocation;
  // Why the command line was refused, in one line: what is wrong and the
  // valid form; empty when it was read.
  std::string error;
};

ParsedCommandLine parse_command_line(int argc, const char *const *argv);

void print_usage(std::FILE *stream);

} // namespace korvel::cli
