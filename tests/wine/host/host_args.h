// Reading the steps on the command line.
#pragma once

#include "host_state.h"

#include <cstdint>
#include <optional>
#include <vector>

class HostArgs {
public:
  HostArgs(char **begin, char **end) : next_(begin), end_(end) {}
  bool done() const { return next_ == end_; }
  // The next word, or nullptr when there is none.
  const char *take() { return done() ? nullptr : *next_++; }

private:
  char **next_;
  char **end_;
};

// "#n" for the handle of the n-th open, "null", "invalid" (all bits set) or
// "foreign".
std::optional<MDB_IF_HANDLE> take_handle(HostArgs &args, const HostState &state);
// Hex digits, two per byte; "-" for no bytes.
std::optional<std::vector<std::uint8_t>> take_hex(HostArgs &args);
std::optional<std::int32_t> take_number(HostArgs &args);
