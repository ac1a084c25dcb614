#include "command_line.h"

#include "link/frame.h"
#include "results.h"

#include <string_view>
#include <vector>

namespace korvel::cli {
namespace {

struct CommandWords {
  std::string_view name;
  Command command;
  bool needs_port;
  bool takes_hex;
};

constexpr CommandWords kCommands[] = {
    {"scan", Command::Scan, false, false},    {"version", Command::Version, true, false},
    {"reset", Command::Reset, true, false},   {"exec", Command::Exec, true, true},
    {"decode", Command::Decode, false, true},
};

const CommandWords *find_command(std::string_view name) {
  for (const CommandWords &words : kCommands) {
    if (words.name == name) {
      return &words;
    }
  }
  return nullptr;
}

ParsedCommandLine refuse(std::string why) { return {Invocation{}, std::move(why)}; }

// Hex may be given as one argument or spread over several ("0A 0B" or 0A 0B).
std::string join_from(const std::vector<std::string_view> &words, std::size_t first) {
  std::string joined;
  for (std::size_t i = first; i < words.size(); ++i) {
    if (i > first) {
      joined += ' ';
    }
    joined += words[i];
  }
  return joined;
}

std::string fits_error(const tools::Bytes &command) {
  if (command.size() <= static_cast<std::size_t>(link::kMaxCommandUnstuffed) &&
      link::command_fits(command.data(), static_cast<std::int32_t>(command.size()))) {
    return "";
  }
  return "the command has " + std::to_string(command.size()) +
         " bytes, more than the library can frame";
}

ParsedCommandLine parse_words(const std::vector<std::string_view> &words, bool verbose) {
  if (words.empty()) {
    return refuse("no command given");
  }
  const CommandWords *command = find_command(words[0]);
  if (command == nullptr) {
    return refuse("unknown command '" + std::string(words[0]) + "'");
  }
  const std::size_t first_hex = command->needs_port ? 2 : 1;
  if (command->needs_port && words.size() < 2) {
    return refuse(std::string(command->name) + " needs a PORT");
  }
  if (command->takes_hex && words.size() <= first_hex) {
    return refuse(std::string(command->name) + " needs HEX bytes");
  }
  if (!command->takes_hex && words.size() > first_hex) {
    return refuse("unexpected argument '" + std::string(words[first_hex]) + "'");
  }
  Invocation invocation{
      command->command, command->needs_port ? std::string(words[1]) : "", {}, verbose};
  if (command->takes_hex) {
    const auto bytes = tools::parse_hex(join_from(words, first_hex));
    if (!bytes) {
      return refuse("not hex bytes: '" + join_from(words, first_hex) + "'");
    }
    invocation.bytes = *bytes;
  }
  if (command->command == Command::Exec) {
    if (std::string why = fits_error(invocation.bytes); !why.empty()) {
      return refuse(why);
    }
  }
  return {invocation, ""};
}

} // namespace

ParsedCommandLine parse_command_line(int argc, const char *const *argv) {
  std::vector<std::string_view> words;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      return {Invocation{}, ""};
    }
    if (arg == "--version") {
      return {Invocation{Command::ToolVersion, "", {}, false}, ""};
    }
    if (arg == "-v" || arg == "--verbose") {
      verbose = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return refuse("unknown option '" + std::string(arg) + "'");
    } else {
      words.push_back(arg);
    }
  }
  return parse_words(words, verbose);
}

void print_usage(std::FILE *stream) {
  std::fprintf(stream,
               "usage: korvel [-v] scan\n"
               "       korvel [-v] version PORT\n"
               "       korvel [-v] reset PORT\n"
               "       korvel [-v] exec PORT HEX\n"
               "       korvel decode HEX\n"
               "\n"
               "Drives an MDB interface adapter through korvel_dll.\n"
               "\n"
               "  scan            probe the system's serial ports and name the adapter's\n"
               "  version PORT    read the adapter's version text (command 0x01)\n"
               "  reset PORT      send the line-reset command (0x02)\n"
               "  exec PORT HEX   send a command and print the reply in hex\n"
               "  decode HEX      decode a frame captured on the line: remove the stuffing,\n"
               "                  check the CRC, show the header and the payload\n"
               "\n"
               "PORT is a name the library opens: COM5 on Windows; on Linux a device\n"
               "below /dev, such as ttyUSB0 or pts/4.\n"
               "HEX is bytes in hex, in groups of whole bytes split by spaces or colons\n"
               "(\"0A0B\", \"0A 0B\", 0a:0b), as one argument or several. A command takes at\n"
               "most %d bytes, or up to %d when its frame needs no stuffing.\n"
               "\n"
               "options:\n"
               "  -v, --verbose   also print how long each library call took\n"
               "  -h, --help      print this text\n"
               "  --version       print korvel's release version\n"
               "\n"
               "Each library call is printed with its result code:\n",
               MDB_IF_MAX_COMMAND_ANY_BYTES, MDB_IF_MAX_COMMAND_UNSTUFFED);
  for (const std::int32_t code : kResultCodes) {
    std::fprintf(stream, "  %d  %s\n", code, result_meaning(code));
  }
  std::fprintf(stream,
               "\n"
               "exit status:\n"
               "  %-5d success\n"
               "  %-5d the scan found no adapter; decode found no frame, or a bad CRC\n"
               "  %-5d bad arguments (this text goes to standard error)\n"
               "  %d+N  a library call failed with result code N (%d: timeout)\n",
               kExitSuccess, kExitNothingFound, kExitUsage, kExitResultBase,
               exit_status_for(MDB_IF_TIMEOUT));
}

} // namespace korvel::cli
