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
  // What the hex stands for, in the message when it is missing.
  std::string_view hex_form;
};

constexpr CommandWords kCommands[] = {
    {"scan", Command::Scan, false, false, ""},
    {"ports", Command::Ports, false, false, ""},
    {"version", Command::Version, true, false, ""},
    {"reset", Command::Reset, true, false, ""},
    {"exec", Command::Exec, true, true, "HEX bytes after the PORT, such as 0A0B or \"0A 0B\""},
    {"decode", Command::Decode, false, true,
     "HEX bytes, a frame as captured, such as \"02 00 30 01 D9 28 03\""},
};

constexpr const char *kCommandList =
    "scan, ports, version PORT, reset PORT, exec PORT HEX or decode HEX";
constexpr const char *kPortForm = "a name such as COM5 on Windows, ttyUSB0 or pts/4 on Linux";
constexpr const char *kHexForm = "whole bytes in hex, such as 0A0B, \"0A 0B\" or 0a:0b";

const CommandWords *find_command(std::string_view name) {
  for (const CommandWords &words : kCommands) {
    if (words.name == name) {
      return &words;
    }
  }
  return nullptr;
}

ParsedCommandLine refuse(std::string why) { return {Invocation{}, std::move(why)}; }

// Built in steps: GCC 12 sees a false overlap in "'" + text + "'" (-Wrestrict).
std::string quoted(std::string_view text) {
  std::string result(1, '\'');
  result.append(text);
  result += '\'';
  return result;
}

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
  return "the command has " + std::to_string(command.size()) + " bytes: exec takes at most " +
         std::to_string(MDB_IF_MAX_COMMAND_ANY_BYTES) + ", or up to " +
         std::to_string(MDB_IF_MAX_COMMAND_UNSTUFFED) + " when its frame needs no stuffing";
}

std::string extra_argument_error(const CommandWords &command, std::string_view extra) {
  if (command.needs_port) {
    return std::string(command.name) + " takes one PORT; " + quoted(extra) +
           " is one argument too many";
  }
  return std::string(command.name) + " takes no argument, not " + quoted(extra);
}

struct Options {
  bool verbose = false;
  bool json = false;
  // Set by --root, also when DIR is empty.
  bool has_root = false;
  std::string root;
};

ParsedCommandLine parse_words(const std::vector<std::string_view> &words, const Options &options) {
  if (words.empty()) {
    return refuse(std::string("no command given: ") + kCommandList);
  }
  const CommandWords *command = find_command(words[0]);
  if (command == nullptr) {
    return refuse("unknown command " + quoted(words[0]) + ": the commands are " + kCommandList);
  }
  if ((options.json || options.has_root) && command->command != Command::Ports) {
    return refuse(std::string(options.json ? "--json" : "--root") + " goes with ports only, not " +
                  std::string(command->name));
  }
  const std::size_t first_hex = command->needs_port ? 2 : 1;
  if (command->needs_port && words.size() < 2) {
    return refuse(std::string(command->name) + " needs a PORT: " + kPortForm);
  }
  if (command->takes_hex && words.size() <= first_hex) {
    return refuse(std::string(command->name) + " needs " + std::string(command->hex_form));
  }
  if (!command->takes_hex && words.size() > first_hex) {
    return refuse(extra_argument_error(*command, words[first_hex]));
  }
  Invocation invocation{command->command,
                        command->needs_port ? std::string(words[1]) : "",
                        {},
                        options.verbose,
                        options.json,
                        options.root};
  if (command->takes_hex) {
    const auto bytes = tools::parse_hex(join_from(words, first_hex));
    if (!bytes) {
      return refuse("not hex bytes: " + quoted(join_from(words, first_hex)) + ": give " + kHexForm);
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
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      return {Invocation{}, ""};
    }
    if (arg == "--version") {
      return {Invocation{Command::ToolVersion, "", {}, false, false, ""}, ""};
    }
    if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--root") {
      if (i + 1 == argc) {
        return refuse("--root needs a DIR, the folder that holds sys/ and dev/");
      }
      options.has_root = true;
      options.root = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return refuse("unknown option " + quoted(arg) +
                    ": the options are -v, -h, --version, and for ports --json and --root DIR");
    } else {
      words.push_back(arg);
    }
  }
  return parse_words(words, options);
}

void print_usage(std::FILE *stream) {
  std::fprintf(stream,
               "usage: korvel [-v] scan\n"
               "       korvel [-v] ports [--json]\n"
               "       korvel [-v] version PORT\n"
               "       korvel [-v] reset PORT\n"
               "       korvel [-v] exec PORT HEX\n"
               "       korvel decode HEX\n"
               "\n"
               "Drives an MDB interface adapter through korvel_dll.\n"
               "\n"
               "  scan            probe the system's serial ports and name the adapter's; says\n"
               "                  first which ports it probes (about 0.5 s each when silent)\n"
               "  ports           list the serial ports a scan probes, in its order, with what\n"
               "                  the system knows of each (driver, USB ids, serial number);\n"
               "                  -v adds the ports a scan leaves out, and why\n"
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
               "  -v, --verbose   also print how long each library call took, each probe\n"
               "                  of a scan, and the ports a scan leaves out\n"
               "  --json          ports: the same records as JSON\n"
               "  --root DIR      ports (Linux): read DIR/sys and DIR/dev instead of the\n"
               "                  system's, such as a copy of another machine's tree\n"
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
               "  %-5d the scan found no adapter or probed no port; decode found no\n"
               "        frame, or a bad CRC; ports could not read the port list\n"
               "  %-5d bad arguments (one line on standard error says why)\n"
               "  %d+N  a library call failed with result code N (%d: timeout)\n"
               "  %-5d stopped by Ctrl-C (%d: SIGTERM, %d: SIGHUP), after closing the\n"
               "        interface\n",
               kExitSuccess, kExitNothingFound, kExitUsage, kExitResultBase,
               exit_status_for(MDB_IF_TIMEOUT), kExitInterrupted, kExitTerminated, kExitHungUp);
}

} // namespace korvel::cli
