#include "host_args.h"

#include "hex_text.h"

#include <cstdlib>
#include <cstring>

std::optional<MDB_IF_HANDLE> take_handle(HostArgs &args, const HostState &state) {
  const char *word = args.take();
  if (word == nullptr) {
    return std::nullopt;
  }
  if (std::strcmp(word, "null") == 0) {
    return nullptr;
  }
  if (std::strcmp(word, "invalid") == 0) {
    return MDB_IF_INVALID_HANDLE;
  }
  if (std::strcmp(word, "foreign") == 0) {
    return state.foreign;
  }
  if (word[0] != '#') {
    return std::nullopt;
  }
  const long index = std::strtol(word + 1, nullptr, 10);
  if (index < 1 || static_cast<std::size_t>(index) > state.opened.size()) {
    return std::nullopt;
  }
  return state.opened[static_cast<std::size_t>(index) - 1];
}

std::optional<std::vector<std::uint8_t>> take_hex(HostArgs &args) {
  const char *word = args.take();
  if (word == nullptr) {
    return std::nullopt;
  }
  if (std::strcmp(word, "-") == 0) {
    return std::vector<std::uint8_t>{};
  }
  return korvel::tools::parse_hex(word);
}

std::optional<std::int32_t> take_number(HostArgs &args) {
  const char *word = args.take();
  if (word == nullptr) {
    return std::nullopt;
  }
  char *end = nullptr;
  const long value = std::strtol(word, &end, 0);
  if (end == word || *end != '\0') {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}
