#include "hex_text.h"

namespace korvel::tools {
namespace {

constexpr std::string_view kSeparators = " \t:";
constexpr char kDigits[] = "0123456789ABCDEF";
constexpr int kNotHex = -1;

int digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return kNotHex;
}

bool append_group(std::string_view group, Bytes &bytes) {
  if (group.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < group.size(); i += 2) {
    const int high = digit_value(group[i]);
    const int low = digit_value(group[i + 1]);
    if (high == kNotHex || low == kNotHex) {
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return true;
}

} // namespace

std::optional<Bytes> parse_hex(std::string_view text) {
  Bytes bytes;
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(kSeparators);
    if (start == std::string_view::npos) {
      break;
    }
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find_first_of(kSeparators), text.size());
    if (!append_group(text.substr(0, end), bytes)) {
      return std::nullopt;
    }
    text.remove_prefix(end);
  }
  return bytes;
}

std::string format_hex(const std::uint8_t *bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      text += ' ';
    }
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::string format_hex(const Bytes &bytes) { return format_hex(bytes.data(), bytes.size()); }

std::string byte_count(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

} // namespace korvel::tools
