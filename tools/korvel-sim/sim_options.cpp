#include "sim_options.h"

#include "number_text.h"
#include "platform.h"

#include <cstdio>
#include <functional>
#include <set>
#include <string_view>

namespace korvel::simtool {
namespace {

constexpr std::uint32_t kLongestDelayMs = 60'000;
constexpr std::uint32_t kMostNoiseBytes = 1'000;
// Wine maps COM1 to COM256.
constexpr std::uint32_t kHighestComPort = 256;
constexpr std::uint32_t kNoLimit = UINT32_MAX;

// Reads an option's value into the options; false when the value is bad.
using ValueReader = std::function<bool(SimOptions &, std::string_view)>;

struct OptionRule {
  std::string_view name;
  // What the value must be, for the message that refuses a bad one; empty
  // for an option that takes no value.
  std::string takes;
  ValueReader read;
};

template <typename T> bool store(std::optional<T> value, T &into) {
  if (value) {
    into = *value;
  }
  return value.has_value();
}

bool read_reply(SimOptions &options, std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    return false;
  }
  const auto command = tools::parse_hex(text.substr(0, equals));
  const auto payload = tools::parse_hex(text.substr(equals + 1));
  if (!command || !payload) {
    return false;
  }
  options.replies.push_back({*command, *payload});
  return true;
}

ValueReader count_into(std::uint32_t SimOptions::*field, std::uint32_t lowest,
                       std::uint32_t highest) {
  return [=](SimOptions &options, std::string_view text) {
    return store(tools::parse_count(text, lowest, highest), options.*field);
  };
}

ValueReader optional_count_into(std::optional<std::uint32_t> SimOptions::*field,
                                std::uint32_t lowest, std::uint32_t highest) {
  return [=](SimOptions &options, std::string_view text) {
    options.*field = tools::parse_count(text, lowest, highest);
    return (options.*field).has_value();
  };
}

ValueReader chance_into(double SimOptions::*field) {
  return [=](SimOptions &options, std::string_view text) {
    return store(tools::parse_probability(text), options.*field);
  };
}

ValueReader text_into(std::string SimOptions::*field) {
  return [=](SimOptions &options, std::string_view text) {
    options.*field = text;
    return true;
  };
}

// A file or a device: an empty name names nothing.
ValueReader name_into(std::string SimOptions::*field) {
  return [=](SimOptions &options, std::string_view text) {
    options.*field = text;
    return !text.empty();
  };
}

ValueReader flag(bool SimOptions::*field) {
  return [=](SimOptions &options, std::string_view) { return options.*field = true; };
}

std::string quoted(std::string_view text) {
  std::string quoted_text = "'";
  quoted_text += text;
  return quoted_text + "'";
}

std::string from_to(std::string_view what, std::uint32_t lowest, std::uint32_t highest) {
  return std::string(what) + " from " + std::to_string(lowest) + " to " + std::to_string(highest);
}

const std::vector<OptionRule> &option_rules() {
  const std::string probability = "a probability from 0 to 1";
  const std::string milliseconds = from_to("milliseconds", 0, kLongestDelayMs);
  static const std::vector<OptionRule> rules = {
      {"--help", "", flag(&SimOptions::help)},
      {"-h", "", flag(&SimOptions::help)},
      {"--version", "", flag(&SimOptions::show_version)},
      {"--version-text", "a text", text_into(&SimOptions::version_text)},
      {"--identify", "", flag(&SimOptions::identify)},
      {"--reply", "CMD=REPLY, both in hex (0A0B=00112233)", read_reply},
      {"--silent", "", flag(&SimOptions::silent)},
      {"--wire", "", flag(&SimOptions::show_wire)},
      {"--delay", milliseconds, count_into(&SimOptions::delay_ms, 0, kLongestDelayMs)},
      {"--noise", from_to("a number of bytes", 1, kMostNoiseBytes),
       count_into(&SimOptions::noise_bytes, 1, kMostNoiseBytes)},
      {"--crc-errors", probability, chance_into(&SimOptions::crc_error_chance)},
      {"--pieces", from_to("a piece size in bytes", 1, kNoLimit),
       count_into(&SimOptions::piece_size, 1, kNoLimit)},
      {"--pause", milliseconds, count_into(&SimOptions::piece_pause_ms, 0, kLongestDelayMs)},
      {"--faults", from_to("a seed", 0, kNoLimit),
       optional_count_into(&SimOptions::fault_seed, 0, kNoLimit)},
      {"--fault-rate", probability, chance_into(&SimOptions::fault_rate)},
      {"--device", "a serial device (/dev/ttyUSB0, COM11)", name_into(&SimOptions::device)},
      {"--wine-com", from_to("a COM port number", 1, kHighestComPort),
       optional_count_into(&SimOptions::wine_com, 1, kHighestComPort)},
      {"--wine-prefix", "a Wine prefix's directory", name_into(&SimOptions::wine_prefix)},
      {"--port-file", "a file name", name_into(&SimOptions::port_file)},
      {"--exit-after", from_to("a number of requests", 1, kNoLimit),
       count_into(&SimOptions::exit_after, 1, kNoLimit)},
      {"--record", "a file name for the transcript", name_into(&SimOptions::record_path)},
      {"--replay", "a transcript's file name", name_into(&SimOptions::replay_path)},
      {"--tap", "the adapter's serial device", name_into(&SimOptions::tap_device)},
  };
  return rules;
}

const OptionRule *find_rule(std::string_view name) {
  for (const OptionRule &rule : option_rules()) {
    if (rule.name == name) {
      return &rule;
    }
  }
  return nullptr;
}

// Options that only make sense together with another.
std::string missing_companion(const std::set<std::string_view> &seen) {
  constexpr std::string_view kNeeds[][2] = {
      {"--pause", "--pieces"}, {"--fault-rate", "--faults"}, {"--wine-prefix", "--wine-com"}};
  for (const auto &[option, companion] : kNeeds) {
    if (seen.count(option) != 0 && seen.count(companion) == 0) {
      return std::string(option) + " needs " + std::string(companion);
    }
  }
  return "";
}

// A tap passes the real adapter's answers on as they are, so nothing that
// shapes an answer goes with it.
std::string conflicting_with_tap(const std::set<std::string_view> &seen) {
  if (seen.count("--tap") == 0) {
    return "";
  }
  constexpr std::string_view kAnswerOptions[] = {
      "--replay", "--version-text", "--identify", "--reply", "--silent", "--delay",
      "--noise",  "--crc-errors",   "--pieces",   "--pause", "--faults"};
  for (const std::string_view option : kAnswerOptions) {
    if (seen.count(option) != 0) {
      return std::string(option) +
             " does not go with --tap, which passes the adapter's own answers on unchanged";
    }
  }
  return "";
}

std::string system_problem(const std::set<std::string_view> &seen, const SimOptions &options) {
  for (const std::string_view option : seen) {
    if (std::string why = unavailable_here(option); !why.empty()) {
      return std::string(option) + " " + why;
    }
  }
  if (options.device.empty() && !options.help && !options.show_version) {
    return device_needed_because();
  }
  return "";
}

} // namespace

ParsedOptions parse_options(int argc, const char *const *argv) {
  ParsedOptions parsed;
  std::set<std::string_view> seen;
  for (int i = 1; i < argc; ++i) {
    std::string_view name = argv[i];
    std::optional<std::string_view> value;
    if (const std::size_t equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const OptionRule *rule = find_rule(name);
    if (rule == nullptr) {
      const std::string given = quoted(argv[i]);
      parsed.error = name.starts_with("-")
                         ? "unknown option " + given
                         : given + " is not an option: korvel-sim takes options only";
      return parsed;
    }
    const bool takes_value = !rule->takes.empty();
    if (takes_value && !value) {
      if (i + 1 == argc) {
        parsed.error = std::string(name) + " needs a value: " + rule->takes;
        return parsed;
      }
      value = argv[++i];
    } else if (!takes_value && value) {
      parsed.error = std::string(name) + " takes no value";
      return parsed;
    }
    if (!rule->read(parsed.options, value.value_or(""))) {
      parsed.error =
          std::string(name) + " takes " + rule->takes + ", not " + quoted(value.value_or(""));
      return parsed;
    }
    seen.insert(rule->name);
  }
  parsed.options.answers_given =
      seen.count("--identify") + seen.count("--reply") + seen.count("--version-text") > 0;
  for (const auto &check : {missing_companion(seen), conflicting_with_tap(seen),
                            system_problem(seen, parsed.options)}) {
    if (!check.empty()) {
      parsed.error = check;
      return parsed;
    }
  }
  return parsed;
}

void print_usage(std::FILE *stream) {
  std::fprintf(
      stream,
      "usage: korvel-sim [OPTIONS]\n"
      "\n"
      "A simulated MDB interface adapter on a pseudo-terminal (Linux) or on a serial\n"
      "device: a cable to the host, or on Windows one end of a virtual null-modem pair\n"
      "(--device COM11 when the host opens COM10). Prints the port to give the library,\n"
      "then every request it decodes and the reply it sends, until Ctrl-C (or SIGTERM).\n"
      "\n"
      "Answers (by default 0x01 gets status 0x00 and the version text, every other\n"
      "command the single status byte 0x00):\n"
      "  --version-text TEXT  the version text (default \"%s\")\n"
      "  --identify           answer 0x01 with the identification a scan looks for,\n"
      "                       \"%s\", without a status byte\n"
      "  --reply CMD=REPLY    answer command CMD with payload REPLY, both in hex\n"
      "                       (\"0A0B=00112233\", \"0a 0b=00:11\"); repeatable\n"
      "\n"
      "Faults:\n"
      "  --silent             never answer\n"
      "  --delay MS           wait MS milliseconds before each answer\n"
      "  --noise N            send N random bytes before each reply frame\n"
      "  --crc-errors P       spoil each reply's CRC with probability P (0 to 1)\n"
      "  --pieces N           send each reply in pieces of N bytes\n"
      "  --pause MS           with --pieces: MS milliseconds between pieces (default %u)\n"
      "  --faults SEED        a random mix of faults (silence, CRC errors, noise,\n"
      "                       pieces, delays, late replies), the same for the same SEED\n"
      "  --fault-rate P       with --faults: the chance of a fault per answer\n"
      "                       (default %.1f)\n"
      "\n"
      "Sessions:\n"
      "  --record FILE        write every exchange to FILE, a transcript (a new file)\n"
      "  --replay FILE        answer each request as the transcript FILE recorded it:\n"
      "                       the same reply bytes, in recorded order, with their\n"
      "                       delays; a request it has no answer for is said so and\n"
      "                       answered as the other options say (by default not at all)\n"
      "  --tap DEVICE         stand between the host and a real adapter on DEVICE:\n"
      "                       pass every byte on both ways unchanged, and log (and\n"
      "                       with --record, record) the exchanges\n"
      "\n"
      "Running:\n"
      "  --device DEVICE      serve (or with --tap, meet the host) on this serial device\n"
      "                       instead of a pseudo-terminal, held exclusively, set to\n"
      "                       38400 8N1, raw, no flow control; on Windows a COM port\n"
      "                       (COM11, CNCB0), and required there\n"
      "  --wine-com N         (Linux) link COMN of a Wine prefix to the pseudo-terminal\n"
      "                       while running (DIR/dosdevices/comN), and list it where a\n"
      "                       scan looks (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM, value\n"
      "                       \\Device\\KorvelSimN) through Wine's reg\n"
      "  --wine-prefix DIR    with --wine-com: the prefix (default $WINEPREFIX, or ~/.wine)\n"
      "  --port-file PATH     write the port name to PATH once ready (removed on exit)\n"
      "  --exit-after N       stop after answering (or passing on) N requests\n"
      "  --wire               also print each request and reply frame as wire bytes\n"
      "  -h, --help           print this text\n"
      "  --version            print korvel-sim's release version\n"
      "\n"
      "Options take their value as the next argument or after '=' (--delay=50).\n"
      "Exit status: 0 after a clean stop, 1 when the line, its port link or a\n"
      "transcript could not be set up (a malformed transcript is refused with its\n"
      "line number), 2 for bad arguments.\n",
      sim::kDefaultVersionText, sim::kIdentificationText, kDefaultPiecePauseMs, kDefaultFaultRate);
}

} // namespace korvel::simtool
