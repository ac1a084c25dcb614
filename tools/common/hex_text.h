// Bytes written as hex on a command line, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::tools {

using Bytes = std::vector<std::uint8_t>;

// Reads hex digits in either case, optionally split into groups by spaces,
// tabs or colons ("0A0B", "0a 0b", "0A:0B"). Each group must hold whole
// bytes, so that "2 00" is refused rather than read as 0x20 0x00. Nothing
// but separators gives no bytes. Returns nothing when the text is not hex.
std::optional<Bytes> parse_hex(std::string_view text);

// "0A 0B": upper case, one space between bytes; "" for no bytes.
std::string format_hex(const std::uint8_t *bytes, std::size_t count);
std::string format_hex(const Bytes &bytes);

// "1 byte", "4 bytes".
std::string byte_count(std::size_t count);

} // namespace korvel::tools
