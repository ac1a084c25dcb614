#include "host_args.h"

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

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

} // namespace

std::optional<std::vector<std::uint8_t>> take_hex(HostArgs &args) {
  const char *word = args.take();
  if (word == nullptr) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  if (std::strcmp(word, "-") == 0) {
    return bytes;
  }
  const std::size_t length = std::strlen(word);
  if (length % 2 != 0) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < length; i += 2) {
    const int high = hex_digit(word[i]);
    const int low = hex_digit(word[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
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
