// What korvel-sim was asked to simulate, read from its command line.
#pragma once

#include "hex_text.h"
#include "sim_adapter.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace korvel::simtool {

// The chance of a fault per answer in a seeded mix, unless told otherwise.
constexpr double kDefaultFaultRate = 0.2;
constexpr std::uint32_t kDefaultPiecePauseMs = 10;

struct ReplyRule {
  tools::Bytes command;
  tools::Bytes payload;
};

struct SimOptions {
  bool help = false;
  bool show_version = false; // korvel-sim's own release version

  std::string version_text = sim::kDefaultVersionText;
  bool identify = false;
  std::vector<ReplyRule> replies;
  // --identify, --reply or --version-text given: with --replay, a request
  // without a recorded answer is answered as they say instead of not at all.
  bool answers_given = false;

  bool silent = false;
  std::uint32_t delay_ms = 0;
  std::uint32_t noise_bytes = 0;
  double crc_error_chance = 0.0;
  std::uint32_t piece_size = 0;
  std::uint32_t piece_pause_ms = kDefaultPiecePauseMs;
  std::optional<std::uint32_t> fault_seed;
  double fault_rate = kDefaultFaultRate;

  std::string device; // empty: a pseudo-terminal of its own
  std::optional<std::uint32_t> wine_com;
  std::string wine_prefix; // empty: $WINEPREFIX, or ~/.wine
  std::string port_file;
  std::uint32_t exit_after = 0; // 0: run until stopped
  bool show_wire = false;       // also print the frames as they cross the line

  std::string record_path; // write a transcript of the session here
  std::string replay_path; // answer from this transcript
  std::string tap_device;  // pass the session on to the adapter on this device
};

struct ParsedOptions {
  SimOptions options;
  // Why the command line was refused, in one line; empty when it was read.
  std::string error;
};

ParsedOptions parse_options(int argc, const char *const *argv);

void print_usage(std::FILE *stream);

} // namespace korvel::simtool
