#include "sim_options.h"

#include "number_text.h"

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
  bool takes_value;
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

ValueReader flag(bool SimOptions::*field) {
  return [=](SimOptions &options, std::string_view) { return options.*field = true; };
}

const std::vector<OptionRule> &option_rules() {
  static const std::vector<OptionRule> rules = {
      {"--help", false, flag(&SimOptions::help)},
      {"-h", false, flag(&SimOptions::help)},
      {"--version", false, flag(&SimOptions::show_version)},
      {"--version-text", true, text_into(&SimOptions::version_text)},
      {"--identify", false, flag(&SimOptions::identify)},
      {"--reply", true, read_reply},
      {"--silent", false, flag(&SimOptions::silent)},
      {"--wire", false, flag(&SimOptions::show_wire)},
      {"--delay", true, count_into(&SimOptions::delay_ms, 0, kLongestDelayMs)},
      {"--noise", true, count_into(&SimOptions::noise_bytes, 1, kMostNoiseBytes)},
      {"--crc-errors", true, chance_into(&SimOptions::crc_error_chance)},
      {"--pieces", true, count_into(&SimOptions::piece_size, 1, kNoLimit)},
      {"--pause", true, count_into(&SimOptions::piece_pause_ms, 0, kLongestDelayMs)},
      {"--faults", true,
       [](SimOptions &options, std::string_view text) {
         options.fault_seed = tools::parse_count(text, 0, kNoLimit);
         return options.fault_seed.has_value();
       }},
      {"--fault-rate", true, chance_into(&SimOptions::fault_rate)},
      {"--device", true, text_into(&SimOptions::device)},
      {"--wine-com", true,
       [](SimOptions &options, std::string_view text) {
         options.wine_com = tools::parse_count(text, 1, kHighestComPort);
         return options.wine_com.has_value();
       }},
      {"--wine-prefix", true, text_into(&SimOptions::wine_prefix)},
      {"--port-file", true, text_into(&SimOptions::port_file)},
      {"--exit-after", true, count_into(&SimOptions::exit_after, 1, kNoLimit)},
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
      parsed.error = "unknown argument '" + std::string(argv[i]) + "'";
      return parsed;
    }
    if (rule->takes_value && !value) {
      if (i + 1 == argc) {
        parsed.error = std::string(name) + " needs a value";
        return parsed;
      }
      value = argv[++i];
    } else if (!rule->takes_value && value) {
      parsed.error = std::string(name) + " takes no value";
      return parsed;
    }
    if (!rule->read(parsed.options, value.value_or(""))) {
      parsed.error =
          "bad value for " + std::string(name) + ": '" + std::string(value.value_or("")) + "'";
      return parsed;
    }
    seen.insert(rule->name);
  }
  parsed.error = missing_companion(seen);
  return parsed;
}

void print_usage(std::FILE *stream) {
  std::fprintf(
      stream,
      "usage: korvel-sim [OPTIONS]\n"
      "\n"
      "A simulated MDB interface adapter on a pseudo-terminal (or a serial device).\n"
      "Prints the port name to give the library (pts/N) and the device path, then\n"
      "every request it decodes and the reply it sends, until Ctrl-C or SIGTERM.\n"
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
      "Running:\n"
      "  --device PATH        serve on this serial device (a cable to the host)\n"
      "                       instead of a pseudo-terminal, set to 38400 8N1, raw,\n"
      "                       no flow control\n"
      "  --wine-com N         link COMN of a Wine prefix to the pseudo-terminal while\n"
      "                       running (DIR/dosdevices/comN), and list it where a scan\n"
      "                       looks (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM, value\n"
      "                       \\Device\\KorvelSimN) through Wine's reg\n"
      "  --wine-prefix DIR    with --wine-com: the prefix (default $WINEPREFIX, or ~/.wine)\n"
      "  --port-file PATH     write the port name to PATH once ready (removed on exit)\n"
      "  --exit-after N       stop after answering N requests\n"
      "  --wire               also print each request and reply frame as wire bytes\n"
      "  -h, --help           print this text\n"
      "  --version            print korvel-sim's release version\n"
      "\n"
      "Options take their value as the next argument or after '=' (--delay=50).\n"
      "Exit status: 0 after a clean stop, 1 when the adapter or its port link could\n"
      "not be set up, 2 for bad arguments (this text then goes to standard error).\n",
      sim::kDefaultVersionText, sim::kIdentificationText, kDefaultPiecePauseMs, kDefaultFaultRate);
}

} // namespace korvel::simtool
